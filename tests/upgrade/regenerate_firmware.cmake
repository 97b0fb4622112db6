# Regenerates the default firmware image and compares it with the committed file.
execute_process(COMMAND "${PYTHON}" "${GENERATOR}" "${OUTPUT}" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "make-image.py failed: ${rc}")
endif()
execute_process(COMMAND "${CMAKE_COMMAND}" -E compare_files "${OUTPUT}" "${COMMITTED}" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the committed image differs from what make-image.py makes")
endif()
