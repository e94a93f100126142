# Tests that use fixed machine-wide resources (port 8001) and must not run
# beside one another.
set_tests_properties(TavroProgram.ServesLoginPageAndEndsCleanlyOnSigterm PROPERTIES RUN_SERIAL TRUE)
