# Debian's libmbedtls-dev ships neither a CMake package nor a pkg-config file
# for the crypto library, so it is found by hand.
find_path(MBEDCRYPTO_INCLUDE_DIR mbedtls/version.h)
find_library(MBEDCRYPTO_LIBRARY mbedcrypto)
include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(MbedCrypto REQUIRED_VARS MBEDCRYPTO_LIBRARY MBEDCRYPTO_INCLUDE_DIR)
if(MbedCrypto_FOUND AND NOT TARGET MbedTLS::mbedcrypto)
  add_library(MbedTLS::mbedcrypto UNKNOWN IMPORTED)
  set_target_properties(MbedTLS::mbedcrypto PROPERTIES
    IMPORTED_LOCATION ${MBEDCRYPTO_LIBRARY}
    INTERFACE_INCLUDE_DIRECTORIES ${MBEDCRYPTO_INCLUDE_DIR})
endif()
