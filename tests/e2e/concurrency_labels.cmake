# Read by ctest after the end-to-end tests are discovered.
set_tests_properties(Concurrency.ForkWhileOtherThreadsLog Concurrency.CancelledThreadNeverKeepsTheLock
                     GroupCommit.EightThreadsOneRollingFile PROPERTIES LABELS concurrency)
