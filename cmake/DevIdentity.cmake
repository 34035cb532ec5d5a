# The development signing identity, made once per build tree with the openssl command while
# configuring, so that the anchors it yields can be compiled into vt_codesign before any target
# is built. Besides the identity the build signs with, it makes the identities tests must see
# refused: another team's leaf under the same CA, a leaf of our team under an unrelated CA, and
# a leaf of our team whose extended key usage does not allow code signing.
#
# Sets, in the including scope:
#   VANTREEL_IDENTITY_DIR           the folder holding everything below
#   VANTREEL_DEV_CA_CERT            the development CA
#   VANTREEL_DEV_SIGNING_KEY/_CERT  leaf with subject OU = VANTREEL_TEAM_ID, EKU codeSigning
#   VANTREEL_EFFECTIVE_ANCHOR_PEM   VANTREEL_ANCHOR_PEM when set, else the development CA
# Including it again is cheap: the files are made only when missing or when the Team ID changed.

find_program(VANTREEL_OPENSSL_EXECUTABLE openssl REQUIRED)

set(VANTREEL_IDENTITY_DIR "${PROJECT_BINARY_DIR}/identity")
set(VANTREEL_DEV_CA_CERT "${VANTREEL_IDENTITY_DIR}/dev-ca.pem")
set(VANTREEL_DEV_SIGNING_KEY "${VANTREEL_IDENTITY_DIR}/dev-signing.key")
set(VANTREEL_DEV_SIGNING_CERT "${VANTREEL_IDENTITY_DIR}/dev-signing.pem")
if(VANTREEL_ANCHOR_PEM)
  set(VANTREEL_EFFECTIVE_ANCHOR_PEM "${VANTREEL_ANCHOR_PEM}")
else()
  set(VANTREEL_EFFECTIVE_ANCHOR_PEM "${VANTREEL_DEV_CA_CERT}")
endif()

function(_vt_openssl)
  execute_process(COMMAND "${VANTREEL_OPENSSL_EXECUTABLE}" ${ARGN}
    WORKING_DIRECTORY "${VANTREEL_IDENTITY_DIR}"
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "openssl ${ARGN} failed: ${err}")
  endif()
endfunction()

# _vt_make_ca(<name> <common name>)
function(_vt_make_ca name cn)
  _vt_openssl(req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes
    -keyout ${name}.key -out ${name}.pem -days 3650 -subj "/O=Vantreel Development/CN=${cn}"
    -addext "basicConstraints=critical,CA:TRUE"
    -addext "keyUsage=critical,keyCertSign,cRLSign")
endfunction()

# _vt_make_leaf(<name> <ca name> <OU> <extensions section>)
function(_vt_make_leaf name ca ou section)
  _vt_openssl(req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes
    -keyout ${name}.key -out ${name}.csr -subj "/O=Vantreel/OU=${ou}/CN=Vantreel Signing ${name}")
  _vt_openssl(x509 -req -in ${name}.csr -CA ${ca}.pem -CAkey ${ca}.key -CAcreateserial
    -days 3650 -extfile leaf.cnf -extensions ${section} -out ${name}.pem)
  file(REMOVE "${VANTREEL_IDENTITY_DIR}/${name}.csr")
endfunction()

set(_vt_identity_stamp "${VANTREEL_IDENTITY_DIR}/team-id")
set(_vt_identity_team "")
if(EXISTS "${_vt_identity_stamp}")
  file(READ "${_vt_identity_stamp}" _vt_identity_team)
endif()
if(NOT _vt_identity_team STREQUAL VANTREEL_TEAM_ID OR NOT EXISTS "${VANTREEL_DEV_SIGNING_CERT}")
  message(STATUS "Generating the development signing identity for team ${VANTREEL_TEAM_ID}")
  file(REMOVE_RECURSE "${VANTREEL_IDENTITY_DIR}")
  # Private keys are written by openssl with the process umask; keep the folder itself private.
  file(MAKE_DIRECTORY "${VANTREEL_IDENTITY_DIR}")
  file(CHMOD "${VANTREEL_IDENTITY_DIR}" DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
  file(WRITE "${VANTREEL_IDENTITY_DIR}/leaf.cnf" "\
[signing]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = codeSigning
[server]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = serverAuth
")
  # A Team ID of another maker, never equal to ours.
  if(VANTREEL_TEAM_ID STREQUAL "OTHERTEAM0")
    set(_vt_other_team "OTHERTEAM1")
  else()
    set(_vt_other_team "OTHERTEAM0")
  endif()
  _vt_make_ca(dev-ca "Vantreel Development CA")
  _vt_make_leaf(dev-signing dev-ca "${VANTREEL_TEAM_ID}" signing)
  _vt_make_leaf(other-team dev-ca "${_vt_other_team}" signing)
  _vt_make_leaf(no-codesigning dev-ca "${VANTREEL_TEAM_ID}" server)
  _vt_make_ca(foreign-ca "Unrelated CA")
  _vt_make_leaf(foreign-signing foreign-ca "${VANTREEL_TEAM_ID}" signing)
  file(WRITE "${_vt_identity_stamp}" "${VANTREEL_TEAM_ID}")
endif()

set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${VANTREEL_EFFECTIVE_ANCHOR_PEM}")
