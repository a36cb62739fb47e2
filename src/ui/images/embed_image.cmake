# Writes OUT: the GdkPixdata dump of PNG as lm_images::NAME.
execute_process(
  COMMAND ${CSOURCE} --raw --extern --name=${NAME} ${PNG}
  OUTPUT_VARIABLE dump
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR dump STREQUAL "")
  message(FATAL_ERROR "gdk-pixbuf-csource failed on ${PNG}")
endif()
file(WRITE ${OUT}
  "// Generated from ${NAME}.png; do not edit.\n"
  "#include \"ui/images/images.h\"\n\n"
  "namespace lm_images {\n"
  "${dump}"
  "} // namespace lm_images\n")
