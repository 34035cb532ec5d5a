# vt_app_bundle(<target> DIRECTORY <dir> OPENCONNECT <piece>
#               [HELPERCTL <piece>] [DAEMON <piece>] [APP <piece>] [VPNC_SCRIPT <file>]
#               [KEY <pem> CERT <pem>] [ALL])
#
# Assembles <dir>/Vantreel.app and signs it, as target <target>:
#   Contents/MacOS/vantreel-helperctl                        signed, org.vantreel.desktop.helperctl
#   Contents/MacOS/Vantreel                                  signed, org.vantreel.desktop
#   Contents/Library/LaunchDaemons/org.vantreel.desktop.helper   signed, org.vantreel.desktop.helper
#   Contents/Resources/extra/openconnect/<darwin-amd64|darwin-arm64>/openconnect
#   Contents/Resources/extra/openconnect/vpnc-script
# then seals the whole bundle as org.vantreel.desktop. A <piece> is a target name or a file.
# A piece given as a file is copied as given (a script stand-in is covered by the seal alone).
# A piece built here is shipped stripped of its debug information, which goes to
# <dir>/debug/<name>.debug, beside the bundle, and the bundled program names that file by a GNU
# debuglink relative to its own folder, so that gdb and the sanitizers' symbolizers find it
# while the bundle stays where it was built. Every signature check hashes the whole program,
# and debug information would make it twenty times larger. HELPERCTL and DAEMON default to the
# real targets when they exist, else to the stand-in program; APP is always the stand-in unless
# given. KEY/CERT default to the development identity. The bundle is rebuilt whenever a piece,
# the identity or the signing tool changes.
#
# Run with cmake -P, this file is the assembly step itself (see the end of the file).

if(NOT CMAKE_SCRIPT_MODE_FILE)

include(${CMAKE_CURRENT_LIST_DIR}/DevIdentity.cmake)
set(_VT_APP_BUNDLE_SCRIPT "${CMAKE_CURRENT_LIST_FILE}")

# Sets <out_file> to the file of a piece, appends what the build must wait for to <deps>, and
# sets <out_strip> to whether the piece is a program built here (to be stripped).
function(_vt_bundle_piece piece out_file out_deps out_strip)
  if(TARGET "${piece}")
    set(${out_file} "$<TARGET_FILE:${piece}>" PARENT_SCOPE)
    set(${out_deps} ${${out_deps}} "${piece}" PARENT_SCOPE)
    set(${out_strip} ON PARENT_SCOPE)
  else()
    get_filename_component(path "${piece}" ABSOLUTE)
    set(${out_file} "${path}" PARENT_SCOPE)
    set(${out_deps} ${${out_deps}} "${path}" PARENT_SCOPE)
    set(${out_strip} OFF PARENT_SCOPE)
  endif()
endfunction()

function(vt_app_bundle target)
  cmake_parse_arguments(ARG "ALL" "DIRECTORY;OPENCONNECT;HELPERCTL;DAEMON;APP;VPNC_SCRIPT;KEY;CERT"
    "" ${ARGN})
  if(NOT ARG_DIRECTORY OR NOT ARG_OPENCONNECT)
    message(FATAL_ERROR "vt_app_bundle(${target}): DIRECTORY and OPENCONNECT are required")
  endif()
  if(NOT ARG_HELPERCTL)
    if(TARGET vantreel-helperctl)
      set(ARG_HELPERCTL vantreel-helperctl)
    else()
      set(ARG_HELPERCTL vantreel-standin)
    endif()
  endif()
  if(NOT ARG_DAEMON)
    if(TARGET org.vantreel.desktop.helper)
      set(ARG_DAEMON org.vantreel.desktop.helper)
    else()
      set(ARG_DAEMON vantreel-standin)
    endif()
  endif()
  if(NOT ARG_APP)
    set(ARG_APP vantreel-standin)
  endif()
  if(NOT ARG_VPNC_SCRIPT)
    set(ARG_VPNC_SCRIPT "${PROJECT_SOURCE_DIR}/tools/bundle/vpnc-script")
  endif()
  if(NOT ARG_KEY OR NOT ARG_CERT)
    set(ARG_KEY "${VANTREEL_DEV_SIGNING_KEY}")
    set(ARG_CERT "${VANTREEL_DEV_SIGNING_CERT}")
  endif()
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64|ARM64)$")
    set(arch darwin-arm64)
  else()
    set(arch darwin-amd64)
  endif()

  if(NOT CMAKE_OBJCOPY)
    message(FATAL_ERROR "vt_app_bundle(${target}): objcopy is needed to strip the bundle's programs")
  endif()

  set(deps vantreel-codesign "${_VT_APP_BUNDLE_SCRIPT}" "${ARG_KEY}" "${ARG_CERT}")
  _vt_bundle_piece("${ARG_HELPERCTL}" helperctl deps strip_helperctl)
  _vt_bundle_piece("${ARG_DAEMON}" daemon deps strip_daemon)
  _vt_bundle_piece("${ARG_APP}" app deps strip_app)
  _vt_bundle_piece("${ARG_OPENCONNECT}" openconnect deps strip_openconnect)
  _vt_bundle_piece("${ARG_VPNC_SCRIPT}" script deps strip_script)
  set(stripped)
  foreach(piece helperctl daemon app openconnect)
    if(strip_${piece})
      list(APPEND stripped ${piece})
    endif()
  endforeach()
  string(REPLACE ";" "," stripped "${stripped}")

  set(stamp "${ARG_DIRECTORY}/Vantreel.app.stamp")
  add_custom_command(OUTPUT "${stamp}"
    COMMAND "${CMAKE_COMMAND}"
      "-DVT_DIRECTORY=${ARG_DIRECTORY}"
      "-DVT_TOOL=$<TARGET_FILE:vantreel-codesign>"
      "-DVT_KEY=${ARG_KEY}" "-DVT_CERT=${ARG_CERT}" "-DVT_ARCH=${arch}"
      "-DVT_HELPERCTL=${helperctl}" "-DVT_DAEMON=${daemon}" "-DVT_APP=${app}"
      "-DVT_OPENCONNECT=${openconnect}" "-DVT_VPNC_SCRIPT=${script}"
      "-DVT_OBJCOPY=${CMAKE_OBJCOPY}" "-DVT_STRIPPED=${stripped}"
      -P "${_VT_APP_BUNDLE_SCRIPT}"
    COMMAND "${CMAKE_COMMAND}" -E touch "${stamp}"
    DEPENDS ${deps}
    COMMENT "Assembling and signing ${ARG_DIRECTORY}/Vantreel.app"
    VERBATIM)
  if(ARG_ALL)
    add_custom_target(${target} ALL DEPENDS "${stamp}")
  else()
    add_custom_target(${target} DEPENDS "${stamp}")
  endif()
endfunction()

else()

# The assembly step. Builds into a staging folder and moves the signed result into place, so
# an interrupted build never leaves a half-signed Vantreel.app behind.
cmake_minimum_required(VERSION 3.25)
foreach(var VT_DIRECTORY VT_TOOL VT_KEY VT_CERT VT_ARCH VT_HELPERCTL VT_DAEMON VT_APP
    VT_OPENCONNECT VT_VPNC_SCRIPT)
  if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
    message(FATAL_ERROR "AppBundle.cmake: ${var} is not set")
  endif()
endforeach()

set(staging "${VT_DIRECTORY}/.staging")
set(bundle "${staging}/Vantreel.app")
set(debug "${staging}/debug")
file(REMOVE_RECURSE "${staging}")
string(REPLACE "," ";" VT_STRIPPED "${VT_STRIPPED}")

function(_vt_run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}")
  endif()
endfunction()

function(_vt_make_executable file)
  file(CHMOD "${file}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
    GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endfunction()

function(_vt_place source destination)
  get_filename_component(folder "${destination}" DIRECTORY)
  file(MAKE_DIRECTORY "${folder}")
  configure_file("${source}" "${destination}" COPYONLY)
  _vt_make_executable("${destination}")
endfunction()

# Places <source> without its debug information at <destination> (a path below ${bundle}) and
# that information in ${debug}/<name>.debug. objcopy writes a debuglink holding the file name
# only, which the debuggers look for in the program's own folder, inside the sealed bundle; the
# link is rewritten to the path of the debug file relative to that folder. The link's CRC-32 of
# the debug file is objcopy's.
function(_vt_place_stripped source destination)
  get_filename_component(folder "${destination}" DIRECTORY)
  get_filename_component(name "${destination}" NAME)
  file(MAKE_DIRECTORY "${folder}" "${debug}")
  set(debugFile "${debug}/${name}.debug")
  set(named "${staging}/${name}.named")
  set(section "${staging}/${name}.debuglink")
  _vt_run("${VT_OBJCOPY}" --only-keep-debug "${source}" "${debugFile}")
  file(CHMOD "${debugFile}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  # The symbol table stays: the sanitizers' own symbolizer names frames without line
  # information from it alone, and it costs a quarter of the stripped size.
  _vt_run("${VT_OBJCOPY}" --strip-debug "--add-gnu-debuglink=${debugFile}" "${source}" "${named}")
  _vt_run("${VT_OBJCOPY}" "--dump-section" ".gnu_debuglink=${section}" "${named}")
  file(READ "${section}" link HEX)
  string(LENGTH "${link}" length)
  math(EXPR crcAt "${length} - 8")
  string(SUBSTRING "${link}" ${crcAt} 8 crc)

  file(RELATIVE_PATH target "${folder}" "${debugFile}")
  # As the section holds it: the name, its terminating NUL, NULs up to a multiple of four
  # bytes, then the CRC in the file's byte order (taken over as objcopy wrote it).
  string(LENGTH "${target}" nameLength)
  math(EXPR padding "4 - ${nameLength} % 4")
  string(REPLACE "%" "%%" escaped "${target}")
  string(REPEAT "\\0" ${padding} nuls)
  string(REGEX REPLACE "(..)" "\\\\x\\1" crcBytes "${crc}")
  execute_process(COMMAND printf "${escaped}${nuls}${crcBytes}" OUTPUT_FILE "${section}"
    RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): printf of the debuglink of ${name}")
  endif()
  _vt_run("${VT_OBJCOPY}" "--update-section" ".gnu_debuglink=${section}" "${named}"
    "${destination}")
  _vt_make_executable("${destination}")
  file(REMOVE "${named}" "${section}")
endfunction()

# Places one piece of the bundle; <key> names it in VT_STRIPPED.
function(_vt_place_piece key source destination)
  if(key IN_LIST VT_STRIPPED)
    _vt_place_stripped("${source}" "${destination}")
  else()
    _vt_place("${source}" "${destination}")
  endif()
endfunction()

function(_vt_sign file identifier)
  _vt_run("${VT_TOOL}" sign --identifier "${identifier}" --key "${VT_KEY}" --cert "${VT_CERT}"
    "${file}")
endfunction()

set(macos "${bundle}/Contents/MacOS")
set(daemons "${bundle}/Contents/Library/LaunchDaemons")
set(oc "${bundle}/Contents/Resources/extra/openconnect")
_vt_place_piece(helperctl "${VT_HELPERCTL}" "${macos}/vantreel-helperctl")
_vt_place_piece(app "${VT_APP}" "${macos}/Vantreel")
_vt_place_piece(daemon "${VT_DAEMON}" "${daemons}/org.vantreel.desktop.helper")
_vt_place_piece(openconnect "${VT_OPENCONNECT}" "${oc}/${VT_ARCH}/openconnect")
_vt_place("${VT_VPNC_SCRIPT}" "${oc}/vpnc-script")

_vt_sign("${macos}/vantreel-helperctl" org.vantreel.desktop.helperctl)
_vt_sign("${macos}/Vantreel" org.vantreel.desktop)
_vt_sign("${daemons}/org.vantreel.desktop.helper" org.vantreel.desktop.helper)
_vt_run("${VT_TOOL}" seal --identifier org.vantreel.desktop --key "${VT_KEY}" --cert "${VT_CERT}"
  "${bundle}")

file(REMOVE_RECURSE "${VT_DIRECTORY}/Vantreel.app" "${VT_DIRECTORY}/debug")
file(RENAME "${bundle}" "${VT_DIRECTORY}/Vantreel.app")
if(EXISTS "${debug}")
  file(RENAME "${debug}" "${VT_DIRECTORY}/debug")
endif()
file(REMOVE_RECURSE "${staging}")

endif()
