# SPDX-License-Identifier: MIT
# What CPack cannot do, done to each finished package with dpkg-deb: the Built-Using
# field; every date in the package set to the source's time, so that the same source
# makes the same bytes whenever and wherever it is built (the files' dates are set here,
# SOURCE_DATE_EPOCH gives dpkg-deb the archive members'); and a twin for a second
# architecture that differs only in its Architecture field. Every installed file keeps
# its bytes.
set(ENV{SOURCE_DATE_EPOCH} ${CPACK_SWITCHPINCTRL_SOURCE_DATE_EPOCH})
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  set(tree ${deb}.tree)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND dpkg-deb --raw-extract ${deb} ${tree} COMMAND_ERROR_IS_FATAL ANY)
  file(READ ${tree}/DEBIAN/control control)
  string(STRIP "${control}" control)
  file(WRITE ${tree}/DEBIAN/control "${control}\nBuilt-Using: ${CPACK_SWITCHPINCTRL_BUILT_USING}\n")
  execute_process(COMMAND find ${tree} -exec touch -h -d @$ENV{SOURCE_DATE_EPOCH} {} +
    COMMAND_ERROR_IS_FATAL ANY)
  execute_process(COMMAND dpkg-deb --root-owner-group --build ${tree} ${deb} OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)

  file(READ ${tree}/DEBIAN/control control)
  string(REGEX MATCH "(^|\n)Architecture: ([^\n]*)" field "${control}")
  set(architecture ${CMAKE_MATCH_2})
  set(twin ${CPACK_SWITCHPINCTRL_TWIN_ARCHITECTURE})
  string(REGEX REPLACE "(^|\n)Architecture: [^\n]*" "\\1Architecture: ${twin}" control "${control}")
  file(WRITE ${tree}/DEBIAN/control "${control}")
  get_filename_component(name ${deb} NAME)
  string(REGEX REPLACE "_${architecture}\\.deb$" "_${twin}.deb" name ${name})
  execute_process(COMMAND dpkg-deb --root-owner-group --build ${tree} ${CPACK_PACKAGE_DIRECTORY}/${name}
    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE ${tree})
endforeach()
