# Run by CPack after it has made the packages: SHA256SUMS beside them, as sha256sum writes it,
# and both copied to the folder the programs are delivered to.
set(lines "")
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  file(SHA256 "${package}" hash)
  get_filename_component(name "${package}" NAME)
  string(APPEND lines "${hash}  ${name}\n")
endforeach()
file(WRITE "${CPACK_PACKAGE_DIRECTORY}/SHA256SUMS" "${lines}")
if(CPACK_DIST_DIRECTORY)
  file(COPY ${CPACK_PACKAGE_FILES} "${CPACK_PACKAGE_DIRECTORY}/SHA256SUMS"
       DESTINATION "${CPACK_DIST_DIRECTORY}")
endif()
