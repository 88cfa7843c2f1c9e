# quillmark_embed(OUTPUT file.cpp NAMESPACE ns FILES a b ...)
#
# Generates a source file that holds the given files' bytes and a lookup
# function, `std::string_view ns::embeddedFile(std::string_view name)`, keyed
# by file name (without folder). `ns::embeddedFileNames()` lists them in the
# order given. The file is generated again whenever one of the inputs changes.
set(_QUILLMARK_EMBED_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/EmbedFilesScript.cmake)

function(quillmark_embed)
  cmake_parse_arguments(ARG "" "OUTPUT;NAMESPACE" "FILES" ${ARGN})
  add_custom_command(
    OUTPUT ${ARG_OUTPUT}
    COMMAND ${CMAKE_COMMAND} -DOUTPUT=${ARG_OUTPUT} -DNAMESPACE=${ARG_NAMESPACE}
            "-DFILES=${ARG_FILES}" -P ${_QUILLMARK_EMBED_SCRIPT}
    DEPENDS ${ARG_FILES} ${_QUILLMARK_EMBED_SCRIPT}
    COMMENT "Embedding ${ARG_NAMESPACE} files"
    VERBATIM)
endfunction()
