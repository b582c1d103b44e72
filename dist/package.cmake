# The Debian package: `cpack -G DEB` in a build configured with
# CMAKE_INSTALL_PREFIX=/usr (scripts/package does it and proves the result).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kov)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "KOV developer <dev@kov.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "recover deleted files from FAT12, FAT16, FAT32 or exFAT volumes")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "recover deleted files from FAT12, FAT16, FAT32 or exFAT volumes
 KOV brings back deleted files from SD cards, USB sticks and disk images
 formatted FAT12, FAT16, FAT32 or exFAT. It reads the volume raw and never writes to it,
 walks every directory twice and saves every deleted file whose contents it
 can rebuild into an output directory on another disk, without replacing
 anything there.
 .
 The package holds the kov window and kov-recover, the same recovery on the
 command line.")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Library dependencies come from the binaries themselves (dpkg-shlibdeps).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# udisks2 and polkit open a card for a user who may not read it.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "udisks2, polkitd")
set(CPACK_STRIP_FILES ON)
include(CPack)
