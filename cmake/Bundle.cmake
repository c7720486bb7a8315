# The application bundle, assembled in the build tree as the deliverables ship it:
#   Quorvane_for_Safari.app/Contents/{Info.plist,MacOS,Resources,PlugIns/…appex/…}
set(QV_APP_DIR ${CMAKE_BINARY_DIR}/Quorvane_for_Safari.app)
set(QV_APPEX_DIR ${QV_APP_DIR}/Contents/PlugIns/Quorvane_Safari_Extension.appex)

# The QVDeployment dictionary both Info.plist files carry. CACertificates names a PEM
# file in Contents/Resources; development bundles set it, release bundles never do.
function(qv_deployment_plist out_var ca_file_name)
  set(xml "\t<key>QVDeployment</key>\n\t<dict>\n")
  foreach(pair "WebOrigin;${QV_WEB_ORIGIN}" "BareDomain;${QV_BARE_DOMAIN}"
          "AuthHost;${QV_AUTH_HOST}" "AnalyticsHost;${QV_ANALYTICS_HOST}" "LogHost;${QV_LOG_HOST}")
    list(GET pair 0 key)
    list(GET pair 1 value)
    string(APPEND xml "\t\t<key>${key}</key>\n\t\t<string>${value}</string>\n")
  endforeach()
  if(ca_file_name)
    string(APPEND xml "\t\t<key>CACertificates</key>\n\t\t<string>${ca_file_name}</string>\n")
  endif()
  string(APPEND xml "\t</dict>")
  set(${out_var} "${xml}" PARENT_SCOPE)
endfunction()

# Puts an executable target where its bundle expects it: <bundle>/Contents/MacOS/.
function(qv_bundle_executable target bundle_dir)
  set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${bundle_dir}/Contents/MacOS)
endfunction()

# Copies resource files into <bundle>/Contents/Resources at build time, through the
# custom target `target_name`.
function(qv_bundle_resources target_name bundle_dir)
  set(outputs)
  foreach(source ${ARGN})
    get_filename_component(name ${source} NAME)
    set(output ${bundle_dir}/Contents/Resources/${name})
    add_custom_command(OUTPUT ${output}
      COMMAND ${CMAKE_COMMAND} -E copy_if_different ${source} ${output}
      DEPENDS ${source} VERBATIM)
    list(APPEND outputs ${output})
  endforeach()
  add_custom_target(${target_name} ALL DEPENDS ${outputs})
endfunction()
