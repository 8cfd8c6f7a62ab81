# Operator files and the Debian package.
#
# The programs and the empty conf/ logs/ run/ home/ folders are installed
# relative to the install prefix (see the top-level CMakeLists.txt), so that
# "cmake --install BUILD --prefix ROOT" makes a runnable root anywhere.  The
# files that belong to the host system (manual pages, the service unit, the
# shell completion, the command link in /usr/bin, the package's doc files)
# have absolute destinations: they are in the "system" component, which a
# plain "cmake --install" leaves out and the package takes in.
#
#   cpack -G DEB --config BUILD/CPackConfig.cmake [-B OUTDIR]
#
# makes qorv-netmon_VERSION_ARCH.deb with everything under the install root
# "/opt/qorvexa/varnix/", and qorv-netmon-dev_VERSION_ARCH.deb with the core
# library for agents built elsewhere (packaging/lib.cmake) under /usr.

set(QORV_INSTALL_ROOT /opt/qorvexa/varnix)
set(QORV_PKG_DIR ${CMAKE_CURRENT_LIST_DIR})
set(QORV_PKG_OUT ${CMAKE_BINARY_DIR}/packaging)

# Manual pages, compressed as Debian wants them (gzip -n: no name or time
# stamp, so that the same source gives the same bytes).
set(QORV_MAN_PAGES qorv-netmon.8 qorv-netagent.8 qorv-netctl.1)
set(QORV_MAN_GZ "")
foreach(page IN LISTS QORV_MAN_PAGES)
  set(gz ${QORV_PKG_OUT}/man/${page}.gz)
  add_custom_command(OUTPUT ${gz}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${QORV_PKG_OUT}/man
    COMMAND gzip -9nc ${CMAKE_SOURCE_DIR}/man/${page} > ${gz}
    DEPENDS ${CMAKE_SOURCE_DIR}/man/${page}
    VERBATIM)
  string(REGEX MATCH "[0-9]$" section ${page})
  install(FILES ${gz} DESTINATION /usr/share/man/man${section}
    COMPONENT system EXCLUDE_FROM_ALL)
  list(APPEND QORV_MAN_GZ ${gz})
endforeach()

# The package's changelog, with the project's version.
configure_file(${QORV_PKG_DIR}/deb/changelog.in ${QORV_PKG_OUT}/changelog @ONLY)
add_custom_command(OUTPUT ${QORV_PKG_OUT}/changelog.gz
  COMMAND gzip -9nc ${QORV_PKG_OUT}/changelog > ${QORV_PKG_OUT}/changelog.gz
  DEPENDS ${QORV_PKG_OUT}/changelog
  VERBATIM)
add_custom_target(qorv_operator_files ALL DEPENDS ${QORV_MAN_GZ} ${QORV_PKG_OUT}/changelog.gz)

install(FILES ${QORV_PKG_DIR}/qorv-netmon.service DESTINATION /lib/systemd/system
  COMPONENT system EXCLUDE_FROM_ALL)
install(FILES ${QORV_PKG_DIR}/qorv-netctl.bash-completion
  DESTINATION /usr/share/bash-completion/completions RENAME qorv-netctl
  COMPONENT system EXCLUDE_FROM_ALL)
install(FILES ${QORV_PKG_DIR}/deb/copyright ${QORV_PKG_OUT}/changelog.gz
  DESTINATION /usr/share/doc/qorv-netmon COMPONENT system EXCLUDE_FROM_ALL)
install(FILES ${QORV_PKG_DIR}/deb/lintian-overrides
  DESTINATION /usr/share/lintian/overrides RENAME qorv-netmon
  COMPONENT system EXCLUDE_FROM_ALL)
# qorv-netctl on every user's PATH.
file(CREATE_LINK ${QORV_INSTALL_ROOT}/bin/qorv-netctl ${QORV_PKG_OUT}/qorv-netctl SYMBOLIC)
install(FILES ${QORV_PKG_OUT}/qorv-netctl DESTINATION /usr/bin
  COMPONENT system EXCLUDE_FROM_ALL)

# ---- Debian package ------------------------------------------------------

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qorv-netmon)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR Qorvexa)
set(CPACK_PACKAGING_INSTALL_PREFIX ${QORV_INSTALL_ROOT})
set(CPACK_STRIP_FILES ON)
# Each package's first description line is its summary.
set(CPACK_DEBIAN_NETMON_DESCRIPTION "\
network-monitoring agent with its supervisor
qorv-netmon starts the network-monitoring agent qorv-netagent, reports how
it ended, renames its core files and restarts it within a once-a-day
budget. The agent serves its statistics on a local control socket, which
qorv-netctl reads for people and scripts.
.
Everything lives under /opt/qorvexa/varnix/. A systemd unit is included;
it is not enabled on installation.")
# Two packages from four install components.  qorv-netmon: the programs
# and folders under the install root, and the files for the host system.
# qorv-netmon-dev: the library (dev) and its doc files (devdoc).
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ONE_PER_GROUP)
set(CPACK_COMPONENTS_ALL Unspecified system dev devdoc)
set(CPACK_COMPONENT_UNSPECIFIED_GROUP netmon)
set(CPACK_COMPONENT_SYSTEM_GROUP netmon)
set(CPACK_COMPONENT_DEV_GROUP dev)
set(CPACK_COMPONENT_DEVDOC_GROUP dev)
set(CPACK_DEBIAN_NETMON_PACKAGE_NAME qorv-netmon)
set(CPACK_DEBIAN_DEV_PACKAGE_NAME qorv-netmon-dev)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Qorvexa netmon team <netmon@qorvexa.com>")
# Depends from the programs' shared libraries (dpkg-shlibdeps).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_NETMON_PACKAGE_CONTROL_EXTRA
  ${QORV_PKG_DIR}/deb/postinst ${QORV_PKG_DIR}/deb/prerm ${QORV_PKG_DIR}/deb/postrm)
# Every file installed under conf/ is a conffile; the list is made from
# what the package holds.
set(CPACK_PRE_BUILD_SCRIPTS ${QORV_PKG_DIR}/deb/conffiles.cmake)
include(${QORV_PKG_DIR}/deb/dev.cmake)
include(CPack)
