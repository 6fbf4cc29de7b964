# The wait for a reader that never reads lasts the whole 30 s limit: it starts first, so that
# other tests run beside it instead of after it.
vor_test_costs(ReplierTest.WaitingForCloseGivesUpOnAReaderThatNeverReads 31)
