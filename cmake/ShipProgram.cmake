# What makes a program fit to ship: its version resource, and the executable's security and
# compatibility flags written out rather than left to the linker's defaults.
set(SHIP_PRODUCT "lumbrook and tessvane")

function(ship_program target description)
  set(SHIP_NAME ${target})
  set(SHIP_DESCRIPTION "${description}")
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in
                 ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc @ONLY)
  target_sources(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  if(MSVC)
    target_link_options(${target} PRIVATE /DYNAMICBASE /HIGHENTROPYVA /NXCOMPAT /TSAWARE
                        /SUBSYSTEM:CONSOLE,6.00 /Brepro)
  else()
    # No time stamp, so that the same sources give the same bytes; stripped in Release.
    target_link_options(${target} PRIVATE
      -Wl,--dynamicbase -Wl,--high-entropy-va -Wl,--nxcompat -Wl,--tsaware
      -Wl,--major-subsystem-version,6 -Wl,--minor-subsystem-version,0
      -Wl,--major-os-version,6 -Wl,--minor-os-version,0
      -Wl,--no-insert-timestamp $<$<CONFIG:Release,MinSizeRel>:-s>)
  endif()
endfunction()
