# How CTest schedules the cases once they are discovered (read by CTest, after the lists of cases).
# Most cases wait on the clock or on the network and use little of the machine, so the suite runs
# more of them at once than there are cores (scripts/test). A case that keeps a core busy counts
# as two, and so does one that measures the loop's or the simulator's wake-ups against the clock,
# so that fewer others run beside it; the longest waits start first, so that they are not what the
# run ends waiting for.
# A name a build leaves out is passed over.
set_tests_properties(HostileApTest.FloodIsReadThroughToItsEnd
                     Prometheus.ScrapesOverTlsWithBasicAuthAndIsRefusedWithoutWhileThousandsOfConnectionsAreHeld
                     Exporter.ScrapesAreAnsweredWhileThousandsOfIdleConnectionsAreHeld
                     SessionLoop.AttemptsStartAtMostTheirRateFirstOnesAndRetriesAlike
                     SimFleet.OneThreadServesHundredsOfAccessPointsEachWithItsOwnPortValuesAndDelay
                     PROPERTIES PROCESSORS 2)
set_tests_properties(LinkLoss.ThePollerIsDownMeanwhileAndUpAgainWithin10sOfTheLinksReturn
                     LinkLoss.TheDialogShowsTheSilenceAndPollsAgainWithin3sOfTheLinksReturn
                     PROPERTIES COST 1000)
