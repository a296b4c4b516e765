set_tests_properties(E2e/Upgrade.Road/RealClockWithPassword PROPERTIES COST 30)
