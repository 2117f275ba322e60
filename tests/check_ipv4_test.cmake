# Run with cmake -P: the dotted-quad check of the built-in server addresses.
cmake_minimum_required(VERSION 3.20)
include(${CMAKE_CURRENT_LIST_DIR}/../fanout_client/check_ipv4.cmake)

set(vecRows
    "127.0.0.1|TRUE" "10.1.2.3|TRUE" "255.255.255.255|TRUE" "0.0.0.0|TRUE"
    "localhost|FALSE" "|FALSE" "256.1.1.1|FALSE" "1.2.3|FALSE" "1.2.3.4.5|FALSE"
    "01.2.3.4|FALSE" "1.2.3.4 |FALSE" "::1|FALSE" "1.2.3.-4|FALSE" "relay.example.com|FALSE")
set(iFailed 0)
set(iRow 0)
foreach(sRow IN LISTS vecRows)
    string(REPLACE "|" ";" vecParts "${sRow}")
    list(GET vecParts 0 sText)
    list(GET vecParts 1 sExpected)
    fanout_is_ipv4("${sText}" bGot)
    if(NOT bGot STREQUAL sExpected)
        message(SEND_ERROR "row ${iRow} '${sText}': got ${bGot}, expected ${sExpected}")
        math(EXPR iFailed "${iFailed} + 1")
    endif()
    math(EXPR iRow "${iRow} + 1")
endforeach()
if(iFailed GREATER 0)
    message(FATAL_ERROR "${iFailed} rows failed")
endif()
