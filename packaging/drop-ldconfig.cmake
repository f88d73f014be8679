# Run by CPack once it has made the Debian package (CPACK_POST_BUILD_SCRIPTS).
# CPack gives a package postinst and postrm scripts that call ldconfig as
# soon as it holds a shared object under /usr/lib. The drive layers in
# /usr/lib/sonolabel/ are private plug-ins loaded by path, which ldconfig
# never looks at, so those scripts do nothing useful: the package is made
# again without them. A script that does anything besides ldconfig stays.
find_program(DPKG_DEB dpkg-deb REQUIRED)
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT deb MATCHES "\\.deb$")
    continue()
  endif()
  set(tree "${deb}.tree")
  file(REMOVE_RECURSE "${tree}")
  execute_process(COMMAND ${DPKG_DEB} -R "${deb}" "${tree}" RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "dpkg-deb -R ${deb} failed")
  endif()
  set(changed FALSE)
  foreach(script postinst postrm)
    set(path "${tree}/DEBIAN/${script}")
    if(NOT EXISTS "${path}")
      continue()
    endif()
    file(STRINGS "${path}" lines)
    set(other FALSE)
    foreach(line IN LISTS lines)
      string(STRIP "${line}" line)
      if(line STREQUAL "" OR line MATCHES "^#" OR line MATCHES "^set -e$" OR line MATCHES "ldconfig"
         OR line MATCHES "^if .*configure" OR line MATCHES "^if .*remove" OR line MATCHES "^fi$"
         OR line MATCHES "^then$" OR line MATCHES "^exit 0$")
        continue()
      endif()
      set(other TRUE)
    endforeach()
    if(NOT other)
      file(REMOVE "${path}")
      set(changed TRUE)
    endif()
  endforeach()
  if(changed)
    execute_process(COMMAND ${DPKG_DEB} --root-owner-group --build "${tree}" "${deb}"
                    OUTPUT_QUIET RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "dpkg-deb --build ${tree} failed")
    endif()
  endif()
  file(REMOVE_RECURSE "${tree}")
endforeach()
