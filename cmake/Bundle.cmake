# The build lays out the installable folder exactly as it is installed at /opt/tessary.
set(TESSARY_BUNDLE_DIR "${CMAKE_BINARY_DIR}/Tessary")
set(TESSARY_CONTENTS_DIR "${TESSARY_BUNDLE_DIR}/Contents")
file(MAKE_DIRECTORY "${TESSARY_CONTENTS_DIR}/bin" "${TESSARY_CONTENTS_DIR}/Helpers"
                    "${TESSARY_CONTENTS_DIR}/PlugIns" "${TESSARY_CONTENTS_DIR}/Resources")

configure_file("${CMAKE_SOURCE_DIR}/agent/resources/Info.json.in" "${TESSARY_CONTENTS_DIR}/Info.json" @ONLY)
file(COPY "${CMAKE_SOURCE_DIR}/agent/resources/MenuBarIcon.png"
          "${CMAKE_SOURCE_DIR}/agent/resources/TessaryShield.png"
          "${CMAKE_SOURCE_DIR}/agent/resources/MDM"
     DESTINATION "${TESSARY_CONTENTS_DIR}/Resources")
# Copied while configuring: an edited resource configures again, so the bundle never keeps an old one.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  "${CMAKE_SOURCE_DIR}/agent/resources/MenuBarIcon.png"
  "${CMAKE_SOURCE_DIR}/agent/resources/TessaryShield.png"
  "${CMAKE_SOURCE_DIR}/agent/resources/MDM/tessary-profile-signed.mobileconfig")

function(tessary_bundle_program target subfolder)
  set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${TESSARY_CONTENTS_DIR}/${subfolder}")
endfunction()

function(tessary_bundle_plugin target)
  set_target_properties(${target} PROPERTIES LIBRARY_OUTPUT_DIRECTORY "${TESSARY_CONTENTS_DIR}/PlugIns")
endfunction()
