# Until tools/updateCurl builds the fetch tool from the transport: a copy of today's.
if(NOT COMMAND updater_add_fetch_tool)
    find_package(CURL REQUIRED)
    function(updater_add_fetch_tool name output_dir)
        add_executable(${name} "${CMAKE_SOURCE_DIR}/tools/updateCurl/updateCurl.c")
        target_link_libraries(${name} PRIVATE CURL::libcurl $<$<BOOL:${WIN32}>:winhttp shlwapi>)
        set_target_properties(${name} PROPERTIES AUTOMOC OFF AUTOUIC OFF AUTORCC OFF
            OUTPUT_NAME updateCurl SUFFIX .exe RUNTIME_OUTPUT_DIRECTORY "${output_dir}")
    endfunction()
endif()
