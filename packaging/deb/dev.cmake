# The Debian package qorv-netmon-dev: the core library as packaging/lib.cmake
# installs it, in Debian's places for libraries (/usr/include,
# /usr/lib/<multiarch>) rather than under the product's install root, with
# its own copyright and changelog.  Included by packaging.cmake before CPack.
install(FILES ${QORV_PKG_DIR}/deb/copyright ${QORV_PKG_OUT}/changelog.gz
  DESTINATION /usr/share/doc/qorv-netmon-dev COMPONENT devdoc EXCLUDE_FROM_ALL)

set(CPACK_DEBIAN_DEV_DESCRIPTION "\
core runtime library of the qorv network-monitoring agents
The library that qorv-netagent is built on, for agents built outside its
source tree: module start-up through linker sets, guarded allocation and
object pools, threads, the main poll with software interrupts, callout and
timer wheels, event queues, the statistics registry with rollups and
moving-average metrics, the metadata store, rotating logs and the control
socket that qorv-netctl reads.
.
A static archive with its headers, a CMake package (find_package(QorvCore),
target qorv::core) and a pkg-config file (qorv-core).")
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libc6-dev | libc-dev")
set(CPACK_DEBIAN_DEV_PACKAGE_SHLIBDEPS OFF)
list(APPEND CPACK_PRE_BUILD_SCRIPTS ${QORV_PKG_DIR}/deb/dev_relocate.cmake)
