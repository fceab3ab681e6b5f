# What `cmake --install` puts beside the commands and the library, in three
# components: "commands" (the two commands, their documents and the
# examples), "library" and "development" (lib/orvcred/CMakeLists.txt).
# scripts/packages.sh makes the packages of them: on Linux a .deb for each
# component and a .tar.gz of all; on Windows a zip and an MSI.

# A Windows user finds the documents at the top of the unpacked zip.
if(WIN32)
  set(orv_doc_dir .)
else()
  set(orv_doc_dir ${CMAKE_INSTALL_DOCDIR})
endif()
install(FILES README.md LICENSE DESTINATION ${orv_doc_dir} COMPONENT commands)
install(FILES examples/keystore.conf examples/initial.key
  DESTINATION ${orv_doc_dir}/examples COMPONENT commands)
install(FILES examples/consumer/consumer.c examples/consumer/CMakeLists.txt
  DESTINATION ${orv_doc_dir}/examples/consumer COMPONENT commands)

# The manual pages, made from their one source with the version filled in;
# orvcred(3) documents the library's interface, so it goes with its header.
if(NOT WIN32)
  foreach(page orvseal.1 orvcred.1 orvcred.3)
    configure_file(doc/man/${page}.in ${PROJECT_BINARY_DIR}/man/${page} @ONLY)
    string(REGEX MATCH "[0-9]$" section ${page})
    if(section STREQUAL "3")
      set(component development)
    else()
      set(component commands)
    endif()
    install(FILES ${PROJECT_BINARY_DIR}/man/${page}
      DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT ${component})
  endforeach()
endif()
