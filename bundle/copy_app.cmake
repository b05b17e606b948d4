# Replaces DESTINATION/app with a fresh copy of SOURCE (the served application's
# package), leaving out byte-code caches. Removing the old copy first keeps files
# that were deleted from the sources out of the bundle.
# Run as: cmake -DSOURCE=<dir> -DDESTINATION=<dir> -P copy_app.cmake
foreach(var SOURCE DESTINATION)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "copy_app.cmake: ${var} is not set")
  endif()
endforeach()

file(REMOVE_RECURSE "${DESTINATION}/app")
file(MAKE_DIRECTORY "${DESTINATION}")
file(COPY "${SOURCE}" DESTINATION "${DESTINATION}"
  PATTERN "__pycache__" EXCLUDE
  PATTERN "*.pyc" EXCLUDE
  PATTERN "*.pyo" EXCLUDE)
