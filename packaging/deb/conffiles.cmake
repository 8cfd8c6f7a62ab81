# CPack pre-build step of the Debian package: every regular file that the
# package installs under the install root's conf/ is a conffile, so that
# dpkg keeps an operator's changes over upgrades.  Runs in cpack, after the
# files are staged and before the control archive is made.
set(stage ${CPACK_TEMPORARY_DIRECTORY})
if(IS_DIRECTORY ${stage}/netmon)
  set(stage ${stage}/netmon)
endif()
file(GLOB_RECURSE conf LIST_DIRECTORIES false RELATIVE ${stage}
  ${stage}${CPACK_PACKAGING_INSTALL_PREFIX}/conf/*)
list(SORT conf)
if(conf)
  list(TRANSFORM conf PREPEND /)
  string(REPLACE ";" "\n" text "${conf}")
  file(WRITE ${CPACK_TEMPORARY_DIRECTORY}/conffiles "${text}\n")
  list(APPEND CPACK_DEBIAN_NETMON_PACKAGE_CONTROL_EXTRA ${CPACK_TEMPORARY_DIRECTORY}/conffiles)
endif()
