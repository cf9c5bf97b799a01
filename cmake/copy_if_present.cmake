# cmake -DSOURCE=... -DTARGET=... -P copy_if_present.cmake
# Copies SOURCE to TARGET when SOURCE exists and differs; says so otherwise.
if(EXISTS "${SOURCE}")
  file(COPY_FILE "${SOURCE}" "${TARGET}" ONLY_IF_DIFFERENT)
else()
  message(STATUS "${SOURCE} is not built yet: onefile-pack needs --launcher until it is")
endif()
