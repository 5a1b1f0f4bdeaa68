# The libraries by what they know, and which of them each may use. The arrows only go down:
#
#   app (dialogue, command_line) -> project, wording, user_text, episode, picture, console, system
#   episode -> picture, system      picture -> system      console, system -> nothing of ours
#
# A library that links one of ours it may not use stops the configuration, so a layer that
# reaches up (or a console that learns of pictures) never builds. Include folders follow the
# links, so a header of a library not linked cannot be found either.
set(DIVOVOD_LAYERS
    divovod_system
    divovod_picture
    divovod_episode
    divovod_console
    divovod_console_backend
    divovod_user_text
    divovod_wording
    divovod_project
    divovod_dialogue
    divovod_command_line)

set(DIVOVOD_MAY_USE_divovod_system "")
set(DIVOVOD_MAY_USE_divovod_picture divovod_system)
set(DIVOVOD_MAY_USE_divovod_episode divovod_picture divovod_system)
set(DIVOVOD_MAY_USE_divovod_console "")
set(DIVOVOD_MAY_USE_divovod_console_backend divovod_console)
set(DIVOVOD_MAY_USE_divovod_user_text divovod_system)
set(DIVOVOD_MAY_USE_divovod_wording divovod_episode divovod_picture divovod_system)
set(DIVOVOD_MAY_USE_divovod_project divovod_user_text divovod_wording divovod_episode
    divovod_picture divovod_system)
set(DIVOVOD_MAY_USE_divovod_dialogue divovod_user_text divovod_wording divovod_episode
    divovod_picture divovod_console divovod_system)
set(DIVOVOD_MAY_USE_divovod_command_line divovod_user_text divovod_wording divovod_project
    divovod_episode divovod_picture divovod_system)

function(divovod_check_layers)
  foreach(library IN LISTS DIVOVOD_LAYERS)
    if(NOT TARGET ${library})
      message(FATAL_ERROR "The library ${library} of the layers is not defined")
    endif()
    get_target_property(links ${library} LINK_LIBRARIES)
    if(NOT links)
      continue()
    endif()
    foreach(link IN LISTS links)
      if(link IN_LIST DIVOVOD_LAYERS AND NOT link IN_LIST DIVOVOD_MAY_USE_${library})
        message(FATAL_ERROR "${library} may not use ${link}: the libraries' arrows only go "
                            "down (see cmake/layers.cmake)")
      endif()
    endforeach()
  endforeach()
endfunction()
