# Installation (`cmake --install`) and the Debian packages (`make deb`, CPack).
#
# Two components, one per package:
#   service  -> melodyseeker: the service with its tray, the command-line client, the systemd
#               user unit, the autostart and application entries, the icon, translations and
#               the manual pages of both programs;
#   server   -> melodyseeker-server: the reference web service, its systemd system unit (own
#               system user, data under StateDirectory), its environment file and manual page.
# Files other parts of the tree deliver (packaging/, ui/) are installed when they are there.

include(GNUInstallDirs)

set(MS_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
set(MS_MAN_DIR ${PROJECT_SOURCE_DIR}/docs/man)
# /etc for the prefix /usr (the packages), etc/ below any other prefix.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(MS_ETC_DIR ${CMAKE_INSTALL_FULL_SYSCONFDIR})
else()
  set(MS_ETC_DIR ${CMAKE_INSTALL_SYSCONFDIR})
endif()
# systemd's own search paths, below the prefix (/usr/lib/systemd/..., /usr/local/lib/systemd/...).
set(MS_SYSTEMD_SYSTEM_DIR lib/systemd/system)
set(MS_SYSTEMD_USER_DIR lib/systemd/user)

# --- programs ---------------------------------------------------------------------------------
foreach(_program melodyseeker melodyseeker-cli)
  if(TARGET ${_program})
    install(TARGETS ${_program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT service)
  endif()
endforeach()
if(TARGET melodyseeker-server)
  install(TARGETS melodyseeker-server RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT server)
endif()

# --- manual pages: roff sources, installed compressed as Debian wants them --------------------
# gzip -n keeps name and time stamp out of the archive, so the same page gives the same bytes.
find_program(MS_GZIP gzip REQUIRED)
set(_man_service melodyseeker.1 melodyseeker-cli.1)
set(_man_server melodyseeker-server.1)
set(_man_outputs)
foreach(_page ${_man_service} ${_man_server})
  if(EXISTS ${MS_MAN_DIR}/${_page})
    set(_gz ${PROJECT_BINARY_DIR}/man/${_page}.gz)
    add_custom_command(OUTPUT ${_gz}
                       COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
                       COMMAND ${MS_GZIP} -9nc ${MS_MAN_DIR}/${_page} > ${_gz}
                       DEPENDS ${MS_MAN_DIR}/${_page}
                       COMMENT "Compressing manual page ${_page}")
    list(APPEND _man_outputs ${_gz})
    if(_page IN_LIST _man_server)
      install(FILES ${_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT server)
    else()
      install(FILES ${_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT service)
    endif()
  endif()
endforeach()
add_custom_target(ms_man_pages ALL DEPENDS ${_man_outputs})

# Unit files name /usr/bin and /etc as a package installs them; another prefix (set when
# configuring; `cmake --install --prefix` cannot change what the units say) gets its own paths.
function(ms_unit_for_prefix source output)
  file(READ ${source} _unit)
  string(REPLACE "/usr/bin/" "${CMAKE_INSTALL_FULL_BINDIR}/" _unit "${_unit}")
  string(REPLACE "/etc/default/" "${CMAKE_INSTALL_FULL_SYSCONFDIR}/default/" _unit "${_unit}")
  file(CONFIGURE OUTPUT ${output} CONTENT "${_unit}" @ONLY)
  set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
endfunction()

# --- the service: user unit, autostart entry, application entry, icon, translations ----------
if(EXISTS ${MS_PACKAGING_DIR}/melodyseeker.service)
  ms_unit_for_prefix(${MS_PACKAGING_DIR}/melodyseeker.service
                     ${PROJECT_BINARY_DIR}/packaging/melodyseeker.service)
  install(FILES ${PROJECT_BINARY_DIR}/packaging/melodyseeker.service
          DESTINATION ${MS_SYSTEMD_USER_DIR} COMPONENT service)
endif()
# Autostart entries: every packaging/*.desktop except the application entry.
file(GLOB _autostart CONFIGURE_DEPENDS ${MS_PACKAGING_DIR}/*.desktop)
list(REMOVE_ITEM _autostart ${MS_PACKAGING_DIR}/melodyseeker.desktop)
set(MS_AUTOSTART_FILES)
foreach(_entry ${_autostart})
  install(FILES ${_entry} DESTINATION ${MS_ETC_DIR}/xdg/autostart COMPONENT service)
  get_filename_component(_name ${_entry} NAME)
  list(APPEND MS_AUTOSTART_FILES ${CMAKE_INSTALL_FULL_SYSCONFDIR}/xdg/autostart/${_name})
endforeach()
install(FILES ${MS_PACKAGING_DIR}/melodyseeker.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT service)
install(FILES ${MS_PACKAGING_DIR}/melodyseeker.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT service)
# Translations the UI loads from files (those compiled into the program need nothing here).
file(GLOB _qm CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/ui/translations/*.qm)
if(_qm)
  install(FILES ${_qm} DESTINATION ${CMAKE_INSTALL_DATADIR}/melodyseeker/translations
          COMPONENT service)
endif()

# --- the server: system unit and environment file --------------------------------------------
if(TARGET melodyseeker-server)
  ms_unit_for_prefix(${MS_PACKAGING_DIR}/melodyseeker-server.service
                     ${PROJECT_BINARY_DIR}/packaging/melodyseeker-server.service)
  install(FILES ${PROJECT_BINARY_DIR}/packaging/melodyseeker-server.service
          DESTINATION ${MS_SYSTEMD_SYSTEM_DIR} COMPONENT server)
  install(FILES ${MS_PACKAGING_DIR}/melodyseeker-server.default
          DESTINATION ${MS_ETC_DIR}/default RENAME melodyseeker-server
          COMPONENT server)
endif()

# --- Debian documentation of each package ----------------------------------------------------
set(_changelog_gz ${PROJECT_BINARY_DIR}/packaging/changelog.gz)
add_custom_command(OUTPUT ${_changelog_gz}
                   COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/packaging
                   COMMAND ${MS_GZIP} -9nc ${MS_PACKAGING_DIR}/debian/changelog > ${_changelog_gz}
                   DEPENDS ${MS_PACKAGING_DIR}/debian/changelog)
add_custom_target(ms_changelog ALL DEPENDS ${_changelog_gz})
foreach(_pair "service;melodyseeker" "server;melodyseeker-server")
  list(GET _pair 0 _component)
  list(GET _pair 1 _package)
  install(FILES ${MS_PACKAGING_DIR}/debian/copyright ${_changelog_gz}
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${_package} COMPONENT ${_component})
endforeach()

# --- CPack: two .deb packages ----------------------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME melodyseeker)
set(CPACK_PACKAGE_VENDOR "MelodySeeker maintainers")
set(CPACK_PACKAGE_CONTACT "MelodySeeker maintainers <maintainers@users.noreply.c-seed-9742608a.example>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_COMPONENTS_ALL service server)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# Descriptions: the first line is the synopsis, the rest the extended description.
set(CPACK_DEBIAN_SERVICE_PACKAGE_NAME melodyseeker)
set(CPACK_DEBIAN_SERVICE_PACKAGE_SUGGESTS "ffmpeg, melodyseeker-server")
if(MELODYSEEKER_WITH_QT)
  # Loaded at run time, so dpkg-shlibdeps cannot see them: the display plugins and Qt's own
  # German texts for the tray's dialogs.
  set(CPACK_DEBIAN_SERVICE_PACKAGE_RECOMMENDS "qt6-qpa-plugins, qt6-translations-l10n")
endif()
set(CPACK_DEBIAN_SERVICE_DESCRIPTION
    "identifies audio files by their acoustic fingerprint
A background service keeps a local copy of a fingerprint database, listens for
local programs on a socket, computes the acoustic fingerprint of each file they
send, finds it in the database and answers with title, artist, album, track,
year, genre, BPM and a sync position, merged with the tags already in the
file.

melodyseeker-cli identifies files through the service and inspects
fingerprints, media headers, tags and cache files on its own.")
set(CPACK_DEBIAN_SERVER_PACKAGE_NAME melodyseeker-server)
set(CPACK_DEBIAN_SERVER_PACKAGE_SECTION net)
set(CPACK_DEBIAN_SERVER_PACKAGE_DEPENDS adduser)
set(CPACK_DEBIAN_SERVER_DESCRIPTION
    "reference fingerprint web service for MelodySeeker
The web service the MelodySeeker service downloads its fingerprint cache from
and reports new titles to: a database of titles and fingerprints, the cache
files it publishes, and the import of a local music library. It runs as a
systemd system service under its own user.")

# Files below /etc are the administrator's: dpkg keeps their changes on upgrade.
file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/packaging/service ${PROJECT_BINARY_DIR}/packaging/server)
set(_service_conffiles "")
foreach(_f ${MS_AUTOSTART_FILES})
  string(APPEND _service_conffiles "${_f}\n")
endforeach()
set(_control_service)
if(_service_conffiles)
  file(WRITE ${PROJECT_BINARY_DIR}/packaging/service/conffiles "${_service_conffiles}")
  list(APPEND _control_service ${PROJECT_BINARY_DIR}/packaging/service/conffiles)
endif()
set(CPACK_DEBIAN_SERVICE_PACKAGE_CONTROL_EXTRA ${_control_service})
file(WRITE ${PROJECT_BINARY_DIR}/packaging/server/conffiles
     "${CMAKE_INSTALL_FULL_SYSCONFDIR}/default/melodyseeker-server\n")
configure_file(${MS_PACKAGING_DIR}/debian/melodyseeker-server.postinst
               ${PROJECT_BINARY_DIR}/packaging/server/postinst COPYONLY)
configure_file(${MS_PACKAGING_DIR}/debian/melodyseeker-server.postrm
               ${PROJECT_BINARY_DIR}/packaging/server/postrm COPYONLY)
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA
    ${PROJECT_BINARY_DIR}/packaging/server/conffiles ${PROJECT_BINARY_DIR}/packaging/server/postinst
    ${PROJECT_BINARY_DIR}/packaging/server/postrm)

include(CPack)
cpack_add_component(service DISPLAY_NAME "MelodySeeker service, tray and client")
cpack_add_component(server DISPLAY_NAME "MelodySeeker reference web service")
