# Adds the ifd/ folder to a build whose top-level CMakeLists.txt does not list it (a CMAKE_PROJECT_INCLUDE hook).
function(tavelo_add_ifd_unless_listed)
  if(NOT TARGET tavelo_ifd)
    include(${CMAKE_SOURCE_DIR}/ifd/CMakeLists.txt)
  endif()
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL tavelo_add_ifd_unless_listed)
