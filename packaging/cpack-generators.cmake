# Read by CPack for each generator. The Debian package has its own layout, installed as the
# component "deb"; the archive keeps the program folder of a plain install.
if(CPACK_GENERATOR STREQUAL "DEB")
    set(CPACK_DEB_COMPONENT_INSTALL ON)
    set(CPACK_COMPONENTS_ALL deb)
    set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
endif()
