# Copies SRC to DST only when DST does not exist yet: Orvo rewrites its own
# config.ini (language, port), and a rebuild must not undo the user's changes.
if(NOT EXISTS "${DST}")
  configure_file("${SRC}" "${DST}" COPYONLY)
endif()
