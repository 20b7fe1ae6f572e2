# The keys of the in-tree stub's key place (verify/key_place.h): given with -DINSTALLER_ROOT_KEY /
# -DINSTALLER_SETUP_KEY, or else a development key set generated once per checkout under
# build/dev-keys (never committed), whose private halves sign the tests' installers. The stubs
# that ship (InstallerLogic-shipping) have the place empty: ztpack make fills it.
set(ZT_DEV_KEYS_DIR "${PROJECT_SOURCE_DIR}/build/dev-keys")

find_program(ZT_OPENSSL openssl)
if(NOT INSTALLER_ROOT_KEY OR NOT INSTALLER_SETUP_KEY)
  if(NOT EXISTS "${ZT_DEV_KEYS_DIR}/setup.der")
    if(NOT ZT_OPENSSL)
      message(FATAL_ERROR "openssl is needed to make the development keys (scripts/setup.sh installs it)")
    endif()
    message(STATUS "Generating development keys in ${ZT_DEV_KEYS_DIR}")
    execute_process(COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/make-dev-keys.sh "${ZT_DEV_KEYS_DIR}"
                    RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "Generating the development keys failed")
    endif()
  endif()
endif()
if(NOT INSTALLER_ROOT_KEY)
  set(ZT_ROOT_KEY_DER "${ZT_DEV_KEYS_DIR}/root.der")
  set(ZT_USING_DEV_ROOT_KEY ON)
else()
  set(ZT_ROOT_KEY_DER "${INSTALLER_ROOT_KEY}")
  set(ZT_USING_DEV_ROOT_KEY OFF)
endif()
if(NOT INSTALLER_SETUP_KEY)
  set(ZT_SETUP_KEY_DER "${ZT_DEV_KEYS_DIR}/setup.der")
  set(ZT_USING_DEV_SETUP_KEY ON)
else()
  set(ZT_SETUP_KEY_DER "${INSTALLER_SETUP_KEY}")
  set(ZT_USING_DEV_SETUP_KEY OFF)
endif()
