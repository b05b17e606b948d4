# Install step: a virtual environment of the system interpreter at
# <prefix>/share/lumivane/python. It is made afresh rather than copied from the
# build tree, whose environment records paths inside that tree.
# Expects LUMIVANE_SYSTEM_PYTHON, set by an install(CODE) line before this script.
set(_venv "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/share/lumivane/python")
message(STATUS "Creating Python environment: ${_venv}")
file(REMOVE_RECURSE "${_venv}")
execute_process(
  COMMAND "${LUMIVANE_SYSTEM_PYTHON}" -m venv --without-pip "${_venv}"
  RESULT_VARIABLE _result)
if(NOT _result EQUAL 0)
  message(FATAL_ERROR "'${LUMIVANE_SYSTEM_PYTHON} -m venv --without-pip ${_venv}' failed: ${_result}")
endif()
