# cmake -DFILE=... -DEXPECTED_FILE=... -P check-sha256.cmake
# Fails unless FILE's SHA-256 is the first word of EXPECTED_FILE.
file(SHA256 "${FILE}" actual)
file(READ "${EXPECTED_FILE}" expected)
string(REGEX MATCH "^[0-9a-f]+" expected "${expected}")
if(NOT actual STREQUAL expected)
  message(FATAL_ERROR "${FILE} has SHA-256 ${actual}, not the expected ${expected}: refusing to ship it")
endif()
