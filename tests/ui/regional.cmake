thermavo_add_test(test_regional
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_regional.cpp
    LIBS thermavo_regional thermavo_log
    LABELS ui)
if(WIN32)
    # The user's regional setting as Wine takes it from LC_ALL: a Greek one on the 12-hour clock
    # in code page 1253, a Bulgarian one with a Cyrillic word in its date in code page 1251.
    foreach(locale el_GR bg_BG)
        add_test(NAME test_regional_${locale}
            COMMAND test_regional systemSettingsInTheSystemCodePage)
        set_tests_properties(test_regional_${locale} PROPERTIES
            ENVIRONMENT "LC_ALL=${locale}.UTF-8;${thermavo_wine_environment}"
            TIMEOUT 60
            LABELS ui
            # Wine keeps one regional setting for the whole prefix: another program starting
            # beside it with another one changes it under the test.
            RUN_SERIAL TRUE)
    endforeach()
endif()
