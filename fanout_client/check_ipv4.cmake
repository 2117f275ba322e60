# fanout_is_ipv4(TEXT RESULT): RESULT is TRUE when TEXT is a dotted-quad IPv4 address
# (four decimal numbers from 0 to 255, no leading zeros), FALSE otherwise.
function(fanout_is_ipv4 TEXT RESULT)
    set(bOk FALSE)
    set(sOctet "(25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9][0-9]|[0-9])")
    if(TEXT MATCHES "^${sOctet}\\.${sOctet}\\.${sOctet}\\.${sOctet}$")
        set(bOk TRUE)
    endif()
    set(${RESULT} ${bOk} PARENT_SCOPE)
endfunction()

# fanout_require_ipv4(VAR): stops the configuration with a clear error unless the cache
# variable VAR holds a dotted-quad IPv4 address. The client takes its server addresses
# as they are, so a host name would build and then fail on every send.
function(fanout_require_ipv4 VAR)
    fanout_is_ipv4("${${VAR}}" bOk)
    if(NOT bOk)
        message(FATAL_ERROR
            "${VAR}='${${VAR}}' is not an IPv4 address in dotted-quad form (like 10.1.2.3). "
            "The client connects to the address as given, without name lookup.")
    endif()
endfunction()
