# CPack runs this on its staging tree before it packs (CPACK_PRE_BUILD_SCRIPTS):
# the compiler's .comment and .note sections go, as Debian's own strip step
# removes them; CPack's plain strip leaves them.
file(GLOB_RECURSE _kyr_files LIST_DIRECTORIES false "${CPACK_TEMPORARY_DIRECTORY}/*")
foreach(_file IN LISTS _kyr_files)
  if(IS_SYMLINK "${_file}")
    continue()
  endif()
  file(READ "${_file}" _magic LIMIT 4 HEX)
  if(_magic STREQUAL "7f454c46")
    execute_process(COMMAND objcopy --remove-section=.comment --remove-section=.note "${_file}"
      COMMAND_ERROR_IS_FATAL ANY)
  endif()
endforeach()
