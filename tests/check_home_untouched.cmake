# Fails when a test left anything in the home folder that every test starts with: tests keep their
# files in temporary homes of their own and never write where a user's data would be.
# -DHOME_DIR=<folder> -DMODE=setup|check
if(MODE STREQUAL "setup")
  file(REMOVE_RECURSE "${HOME_DIR}")
  file(MAKE_DIRECTORY "${HOME_DIR}")
  return()
endif()
file(GLOB_RECURSE left RELATIVE "${HOME_DIR}" LIST_DIRECTORIES true "${HOME_DIR}/*")
if(left)
  list(JOIN left "\n  " lines)
  message(FATAL_ERROR "Tests wrote into the shared home ${HOME_DIR}:\n  ${lines}")
endif()
