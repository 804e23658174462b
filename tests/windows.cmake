# Windows builds: the programs load no DLL but Windows' own, and update.exe
# carries its manifest. Run on the build host with binutils, not under Wine;
# this file is also the script the checks run (cmake -P).
if(NOT CMAKE_SCRIPT_MODE_FILE)
    if(WIN32)
        foreach(program updater updater_signed updateCurl)
            add_test(NAME windows_imports_${program} COMMAND ${CMAKE_COMMAND} -DCHECK=imports
                -DTOOL=${CMAKE_OBJDUMP} -DPROGRAM=$<TARGET_FILE:${program}> -P ${CMAKE_CURRENT_LIST_FILE})
        endforeach()
        add_test(NAME windows_manifest COMMAND ${CMAKE_COMMAND} -DCHECK=manifest
            -DTOOL=${CMAKE_RC_COMPILER} -DPROGRAM=$<TARGET_FILE:updater> -P ${CMAKE_CURRENT_LIST_FILE})
    endif()
    return()
endif()

if(CHECK STREQUAL "imports")
    execute_process(COMMAND ${TOOL} -p ${PROGRAM} OUTPUT_VARIABLE out RESULT_VARIABLE failed)
    string(REGEX MATCHALL "DLL Name: [^\n]+" dlls "${out}")
    string(TOUPPER "${dlls}" dlls)
    list(TRANSFORM dlls REPLACE "^DLL NAME: " "")
    set(system "(KERNEL32|USER32|GDI32|ADVAPI32|SHELL32|OLE32|OLEAUT32|WS2_32|CRYPT32|WINMM|IMM32"
        "|UXTHEME|DWMAPI|VERSION|NETAPI32|USERENV|MPR|WTSAPI32|IPHLPAPI|SECUR32|BCRYPT|NORMALIZ"
        "|WLDAP32|COMDLG32|SHLWAPI|WINHTTP|MSVCRT|API-MS-WIN-[-A-Z0-9]+)\\.DLL|WINSPOOL\\.DRV")
    string(CONCAT system ${system})
    list(FILTER dlls EXCLUDE REGEX "^(${system})$")
    if(failed OR NOT out MATCHES "DLL Name: KERNEL32" OR dlls)
        message(FATAL_ERROR "${PROGRAM} imports DLLs that Windows does not ship: ${dlls}")
    endif()
elseif(CHECK STREQUAL "manifest")
    execute_process(COMMAND ${TOOL} -i ${PROGRAM} -O rc OUTPUT_VARIABLE rc RESULT_VARIABLE failed)
    string(REPLACE "\"\"" "\"" rc "${rc}")
    # ID 1 is the one Windows reads for an .exe.
    foreach(part "\n1 24 /\\* RT_MANIFEST \\*/" "level=\"requireAdministrator\""
                 "name=\"Microsoft.Windows.Common-Controls\" version=\"6\\.")
        if(failed OR NOT rc MATCHES "${part}")
            message(FATAL_ERROR "${PROGRAM} lacks a manifest with ${part}")
        endif()
    endforeach()
endif()
