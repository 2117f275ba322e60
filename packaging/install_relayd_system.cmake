# Installs the relay server's system files: run at install time (`cmake --install`,
# cpack) for the component relayd, because their place depends on the install prefix,
# known only then. With the prefix /usr (the Debian package) they are
# /etc/fanout/relayd.toml and /lib/systemd/system/fanout-relayd.service; with another
# prefix P, P/etc/fanout/ and P/lib/systemd/system/ (systemd reads /usr/local/lib/systemd/system
# too). The unit runs the program installed with it, with that configuration file.
#
# Set by the install rule: FANOUT_PACKAGING_DIR (packaging/ of the sources),
# FANOUT_PACKAGING_BINARY_DIR (where the unit is filled in), FANOUT_BINDIR.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(sSystemRoot "")
else()
    set(sSystemRoot "${CMAKE_INSTALL_PREFIX}")
endif()
set(FANOUT_RELAYD_PROGRAM "${FANOUT_BINDIR}/fanout_relayd")
if(NOT IS_ABSOLUTE "${FANOUT_BINDIR}")
    set(FANOUT_RELAYD_PROGRAM "${CMAKE_INSTALL_PREFIX}/${FANOUT_RELAYD_PROGRAM}")
endif()
set(FANOUT_RELAYD_CONFIG "${sSystemRoot}/etc/fanout/relayd.toml")
configure_file(${FANOUT_PACKAGING_DIR}/fanout-relayd.service
               ${FANOUT_PACKAGING_BINARY_DIR}/fanout-relayd.service @ONLY)

set(vecReadable OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
file(INSTALL ${FANOUT_PACKAGING_DIR}/relayd.toml DESTINATION "${sSystemRoot}/etc/fanout"
     FILE_PERMISSIONS ${vecReadable})
file(INSTALL ${FANOUT_PACKAGING_BINARY_DIR}/fanout-relayd.service
     DESTINATION "${sSystemRoot}/lib/systemd/system" FILE_PERMISSIONS ${vecReadable})
