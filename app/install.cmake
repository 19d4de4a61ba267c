# The files installed beside the program (the desktop entry, icons, manual page, metadata,
# copyright and changelog) and the Debian package made of them; the names and texts come from
# app/CMakeLists.txt.
include(GNUInstallDirs)
install(TARGETS klavio)
install(FILES ${PROJECT_SOURCE_DIR}/resources/klavio.desktop
    DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
foreach(size IN LISTS klavio_icon_sizes)
    install(FILES ${PROJECT_SOURCE_DIR}/resources/icons/klavio-${size}.png
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps RENAME klavio.png)
endforeach()
# Manual pages are installed compressed, as Debian keeps them.
set(klavio_man_page ${CMAKE_CURRENT_BINARY_DIR}/klavio.1)
add_custom_command(OUTPUT ${klavio_man_page}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/resources/klavio.1 ${klavio_man_page}
    COMMAND gzip -9nf ${klavio_man_page}
    DEPENDS ${PROJECT_SOURCE_DIR}/resources/klavio.1
    VERBATIM)
add_custom_target(klavio_man_page ALL DEPENDS ${klavio_man_page}.gz)
install(FILES ${klavio_man_page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/resources/org.example.klavio.metainfo.xml
    DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
# What Debian asks of every package beside the program: a copyright notice and a changelog.
# The changelog names the release below; resources/org.example.klavio.metainfo.xml lists it too.
set(klavio_release_date "Tue, 08 Dec 2026 12:00:00 +0000")
set(klavio_doc ${CMAKE_CURRENT_BINARY_DIR}/doc)
file(CONFIGURE OUTPUT ${klavio_doc}/copyright CONTENT "klavio
Copyright © 2026 ${klavio_company} <${klavio_email}>
Homepage: ${klavio_website}
")
file(CONFIGURE OUTPUT ${klavio_doc}/changelog CONTENT "klavio (${PROJECT_VERSION}) unstable; urgency=medium

  * Release ${PROJECT_VERSION}.

 -- ${klavio_company} <${klavio_email}>  ${klavio_release_date}
")
add_custom_command(OUTPUT ${klavio_doc}/changelog.gz
    COMMAND gzip -9nkf ${klavio_doc}/changelog
    DEPENDS ${klavio_doc}/changelog
    VERBATIM)
add_custom_target(klavio_changelog ALL DEPENDS ${klavio_doc}/changelog.gz)
install(FILES ${klavio_doc}/copyright ${klavio_doc}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The Debian package (scripts/build-deb.sh): what is installed above, under /usr.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME klavio)
set(CPACK_PACKAGE_VENDOR ${klavio_company})
# Debian's synopsis goes without an article: "klavio provides a virtual MIDI piano keyboard".
string(REGEX REPLACE "^(A|An|The) " "" CPACK_PACKAGE_DESCRIPTION_SUMMARY ${klavio_comments})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${klavio_company} <${klavio_email}>")
# Lines of up to 80 characters, as Debian's package tools show them.
set(CPACK_PACKAGE_DESCRIPTION "One window shows the 88 keys of a piano. Clicking or dragging
across keys plays them on a MIDI output device (ALSA sequencer or JACK) or on
the built-in FluidSynth synthesizer; notes arriving on the chosen input device
light the keys.")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${klavio_website})
# dpkg-shlibdeps names the libraries the executable links; the SoundFont is no library, but
# without one the built-in synthesizer stays silent. Every sf2-soundfont-gm package installs
# /usr/share/sounds/sf2/default-GM.sf2, the first file the synthesizer looks for.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# FluidSynth is opened when the synthesizer is first chosen, so dpkg-shlibdeps does not see it.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libfluidsynth3, fluid-soundfont-gm | sf2-soundfont-gm")
# On a Wayland desktop the window is a native Wayland window only with Qt's Wayland platform;
# without it Qt falls back to X11 through XWayland.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-wayland")
include(CPack)
