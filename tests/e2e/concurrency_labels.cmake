# Read by ctest after the end-to-end tests are discovered.
foreach(test Concurrency.ForkWhileOtherThreadsLog Concurrency.CancelledThreadNeverKeepsTheLock
             Lines.TwoThreadsWriteWholeLines GroupCommit.EightThreadsOneRollingFile)
  set_tests_properties(${test} PROPERTIES LABELS concurrency)
endforeach()
