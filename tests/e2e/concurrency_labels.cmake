# Read by ctest after the end-to-end tests are discovered.
foreach(test Concurrency.ForkWhileAnotherThreadLogs Concurrency.CancelledThreadNeverKeepsTheLock
             Lines.TwoThreadsWriteWholeLines)
  set_tests_properties(${test} PROPERTIES LABELS concurrency)
endforeach()
