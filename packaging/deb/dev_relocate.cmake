# CPack pre-build step of qorv-netmon-dev: cpack stages every component
# under the product's install root; the library's files move from there to
# /usr.  The package files find the rest relative to where they lie, and
# the depth of lib/<multiarch> stays the same, so nothing needs rewriting.
set(stage ${CPACK_TEMPORARY_DIRECTORY}/dev)
set(root ${stage}${CPACK_PACKAGING_INSTALL_PREFIX})
if(IS_DIRECTORY ${root} AND NOT CPACK_PACKAGING_INSTALL_PREFIX MATCHES "^/usr(/|$)")
  file(MAKE_DIRECTORY ${stage}/usr)
  foreach(d include lib)
    if(IS_DIRECTORY ${root}/${d})
      file(RENAME ${root}/${d} ${stage}/usr/${d})
    endif()
  endforeach()
  # The install root's folders, empty now, are not part of this package.
  file(GLOB_RECURSE left LIST_DIRECTORIES false ${root}/*)
  if(NOT left)
    string(REGEX MATCH "^/[^/]+" top ${CPACK_PACKAGING_INSTALL_PREFIX})
    file(REMOVE_RECURSE ${stage}${top})
  endif()
endif()
