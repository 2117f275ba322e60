# Run with cmake -P -DSOURCE_DIR=... -DWORK_DIR=...: the client-only build configures with
# every package of the relay server hidden (CMAKE_DISABLE_FIND_PACKAGE_*), as on a host
# that has none of them, and gives the client without the relay's programs; the whole
# build does not (which shows the packages really are hidden).
cmake_minimum_required(VERSION 3.20)

set(sRelayPackages "OpenSSL,PkgConfig,SQLite3,PostgreSQL,CURL,Boost")
# A host with only a compiler, make and cmake: no test or benchmark libraries either.
set(sBareHost "${sRelayPackages},nlohmann_json,GTest,benchmark,Iconv")

# Rows: name | options | hidden packages, comma-separated | configures (TRUE/FALSE).
# The client's tests read the simulator's JSON lines: nlohmann_json stays for them.
set(vecRows
    "client alone, bare host|-DFANOUT_CLIENT_ONLY=ON -DFANOUT_BUILD_TESTS=OFF|${sBareHost}|TRUE"
    "client with its tests|-DFANOUT_CLIENT_ONLY=ON -DFANOUT_BUILD_TESTS=ON|${sRelayPackages}|TRUE"
    "whole build, bare host|-DFANOUT_BUILD_TESTS=OFF|${sBareHost}|FALSE")

set(iFailed 0)
set(iRow 0)
foreach(sRow IN LISTS vecRows)
    string(REPLACE "|" ";" vecParts "${sRow}")
    list(GET vecParts 0 sName)
    list(GET vecParts 1 sOptions)
    list(GET vecParts 2 sHidden)
    list(GET vecParts 3 bExpected)
    string(REPLACE "," ";" vecHidden "${sHidden}")
    separate_arguments(vecArgs UNIX_COMMAND "${sOptions}")
    foreach(sPackage IN LISTS vecHidden)
        list(APPEND vecArgs -DCMAKE_DISABLE_FIND_PACKAGE_${sPackage}=ON)
    endforeach()
    set(sBuild ${WORK_DIR}/client_only_${iRow})
    file(REMOVE_RECURSE ${sBuild})
    execute_process(COMMAND ${CMAKE_COMMAND} -G "Unix Makefiles" -S ${SOURCE_DIR} -B ${sBuild}
                            -DFANOUT_BUILD_BENCH=OFF ${vecArgs}
                    RESULT_VARIABLE iRet OUTPUT_VARIABLE sOut ERROR_VARIABLE sOut)
    set(bGot FALSE)
    if(iRet EQUAL 0)
        set(bGot TRUE)
    endif()
    if(NOT bGot STREQUAL bExpected)
        message(SEND_ERROR "row '${sName}': configured ${bGot}, expected ${bExpected}\n${sOut}")
        math(EXPR iFailed "${iFailed} + 1")
    elseif(bGot)
        # The client's target is there, the relay server's is not.
        file(READ ${sBuild}/Makefile sMakefile)
        if(NOT sMakefile MATCHES "fanout_client" OR sMakefile MATCHES "fanout_relayd")
            message(SEND_ERROR "row '${sName}': expected the client's targets and no relay's")
            math(EXPR iFailed "${iFailed} + 1")
        endif()
    endif()
    file(REMOVE_RECURSE ${sBuild})
    math(EXPR iRow "${iRow} + 1")
endforeach()
if(iFailed GREATER 0)
    message(FATAL_ERROR "${iFailed} rows failed")
endif()
