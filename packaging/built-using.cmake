# SPDX-License-Identifier: MIT
# CPack cannot write a Built-Using field: this adds it to each finished package.
# Only the control file changes; every installed file keeps its bytes.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  set(tree ${deb}.tree)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND dpkg-deb --raw-extract ${deb} ${tree} COMMAND_ERROR_IS_FATAL ANY)
  file(READ ${tree}/DEBIAN/control control)
  string(STRIP "${control}" control)
  file(WRITE ${tree}/DEBIAN/control "${control}\nBuilt-Using: ${CPACK_SWITCHPINCTRL_BUILT_USING}\n")
  execute_process(COMMAND dpkg-deb --root-owner-group --build ${tree} ${deb} OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE ${tree})
endforeach()
