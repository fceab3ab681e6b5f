# What `cmake --install` puts beside the commands and the library, and the
# packages CPack makes of it: a zip for Windows, a .deb and a .tar.gz for Linux.

# A Windows user finds the documents at the top of the unpacked zip.
if(WIN32)
  set(orv_doc_dir .)
else()
  set(orv_doc_dir ${CMAKE_INSTALL_DOCDIR})
endif()
install(FILES README.md LICENSE DESTINATION ${orv_doc_dir})
install(FILES examples/keystore.conf examples/initial.key
  DESTINATION ${orv_doc_dir}/examples)
install(FILES examples/consumer/consumer.c examples/consumer/CMakeLists.txt
  DESTINATION ${orv_doc_dir}/examples/consumer)

# The manual pages, made from their one source with the version filled in.
if(NOT WIN32)
  foreach(page orvseal.1 orvcred.1 orvcred.3)
    configure_file(doc/man/${page}.in ${PROJECT_BINARY_DIR}/man/${page} @ONLY)
    string(REGEX MATCH "[0-9]$" section ${page})
    install(FILES ${PROJECT_BINARY_DIR}/man/${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
  endforeach()
endif()

set(CPACK_PACKAGE_NAME orvseal)
set(CPACK_PACKAGE_VENDOR "the orvseal authors")
set(CPACK_PACKAGE_CONTACT "the orvseal authors <orvseal@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Protects the plaintext credentials in keystore.conf; orvcred reads them back")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
else()
  set(CPACK_GENERATOR "DEB;TGZ")
  set(CPACK_SYSTEM_NAME Linux-${CMAKE_SYSTEM_PROCESSOR})
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  # dpkg-shlibdeps reads what the binaries link: libc and libssl3 (libcrypto).
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

include(CPack)
