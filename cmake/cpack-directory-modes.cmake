# Run by cpack once the files are staged: the package's directories are 0755 whatever the umask
# of whoever builds it (the install step creates parent directories through the umask).
file(GLOB_RECURSE staged LIST_DIRECTORIES true "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
foreach(path ${staged})
  if(IS_DIRECTORY "${path}")
    file(CHMOD "${path}" DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
         GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  endif()
endforeach()
