# SPDX-License-Identifier: MIT
# The board workflow's package step (CPack's External generator): dpkg-buildpackage makes
# the package for each of the two architectures from debian/, out of the board preset's
# build tree, and leaves the packages there rather than in the source tree's parent. It is
# a cross build (the cross profile, as sbuild sets it), and the board's tests run elsewhere
# (nocheck): a cross build runs none.
set(dir ${CPACK_SWITCHPINCTRL_DEB_DIR})
foreach(arch armhf armel)
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env SWITCHPINCTRL_DEB_DIR=${dir} DEB_BUILD_OPTIONS=nocheck
            dpkg-buildpackage --host-arch=${arch} --build-profiles=cross --build=any --no-sign --post-clean
            --buildinfo-file=${dir}/switchpinctrl_${arch}.buildinfo --buildinfo-option=-u${dir}
            --changes-file=${dir}/switchpinctrl_${arch}.changes --changes-option=-u${dir}
    WORKING_DIRECTORY ${CPACK_SWITCHPINCTRL_SOURCE_DIR}
    RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "dpkg-buildpackage --host-arch=${arch} failed")
  endif()
endforeach()
file(GLOB debs ${dir}/switchpinctrl_*.deb)
set(CPACK_EXTERNAL_BUILT_PACKAGES ${debs})
