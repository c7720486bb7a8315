# Turns a copy of the built application bundle into a development bundle: its two
# Info.plist files get the deployment values of a local service stand-in, and both
# bundles carry its certificate authority. The binaries stay the ones already built.
#   cmake -DAPP=<copy>.app -DSOURCE=<source tree> -DVERSION=<x.y.z> -DWEB_ORIGIN=<origin>
#         -DHOST=<host:port> -DCA=<pem> -P cmake/DevBundle.cmake
foreach(required APP SOURCE VERSION WEB_ORIGIN HOST CA)
  if(NOT DEFINED ${required})
    message(FATAL_ERROR "DevBundle.cmake needs -D${required}=…")
  endif()
endforeach()
include(${SOURCE}/cmake/Bundle.cmake)

set(QV_WEB_ORIGIN ${WEB_ORIGIN})
set(QV_BARE_DOMAIN ${HOST})
set(QV_AUTH_HOST ${HOST})
set(QV_ANALYTICS_HOST ${HOST})
set(QV_LOG_HOST ${HOST})
set(PROJECT_VERSION ${VERSION})
qv_deployment_plist(QV_DEPLOYMENT_PLIST "dev-ca.pem")

set(appex ${APP}/Contents/PlugIns/Quorvane_Safari_Extension.appex)
configure_file(${SOURCE}/bundle/companion/Info.plist.in ${APP}/Contents/Info.plist @ONLY)
configure_file(${SOURCE}/bundle/extension/Info.plist.in ${appex}/Contents/Info.plist @ONLY)
foreach(bundle ${APP} ${appex})
  configure_file(${CA} ${bundle}/Contents/Resources/dev-ca.pem COPYONLY)
endforeach()
