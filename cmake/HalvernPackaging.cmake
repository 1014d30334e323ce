# Install rules and packages: on Windows a zip (CPack) and an MSI (wixl, target "msi"), on Linux a
# .deb (CPack). All carry the two executables and a "data" folder with a note that names the
# outside programs which go there. The version is the project's, the one that --version and the
# Windows file properties show.
set(packaging ${PROJECT_SOURCE_DIR}/packaging)
set(staged ${PROJECT_BINARY_DIR}/packaging)

set(CPACK_PACKAGE_NAME halvern-service)
set(CPACK_PACKAGE_VENDOR "Halvern")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "privileged helper of the Halvern VPN client")
set(CPACK_PACKAGE_CONTACT "Halvern Service maintainers <maintainers@halvern.example>")
set(CPACK_STRIP_FILES ON)

if(WIN32)
    # Flat, as the README describes the folder: HalvernService.exe, halvernctl.exe, data\.
    set(HALVERN_DATA_FILES "xray.exe, tun2socks.exe and wintun.dll")
    configure_file(${packaging}/data-README.in ${staged}/data/README.txt @ONLY)
    configure_file(${packaging}/windows/README.txt ${staged}/README.txt @ONLY)
    install(TARGETS halvern-service halvernctl RUNTIME DESTINATION .)
    install(FILES ${staged}/README.txt DESTINATION .)
    install(FILES ${staged}/data/README.txt DESTINATION data)

    set(CPACK_GENERATOR ZIP)
    set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-win64)
    set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)

    # The MSI (target "msi"): the zip's files, staged by the rules above and stripped as CPack
    # strips them, packed by wixl from msitools (packaging/windows/HalvernService.wxs says how
    # the service is registered). NextVersion bounds the versions that the package replaces.
    find_program(HALVERN_WIXL wixl DOC "wixl (msitools), which builds the MSI")
    set(patch ${PROJECT_VERSION_PATCH})
    if(patch STREQUAL "")
        set(patch 0)
    endif()
    math(EXPR patch "${patch} + 1")
    set(msi ${PROJECT_BINARY_DIR}/${CPACK_PACKAGE_FILE_NAME}.msi)
    set(msiFiles ${staged}/msi)
    add_custom_command(OUTPUT ${msi}
        COMMAND ${CMAKE_COMMAND} -E rm -rf ${msiFiles}
        COMMAND ${CMAKE_COMMAND} --install ${PROJECT_BINARY_DIR} --prefix ${msiFiles} --strip
        COMMAND ${CMAKE_COMMAND} -E chdir ${msiFiles} ${HALVERN_WIXL} -a x64
            -D Version=${PROJECT_VERSION}
            -D NextVersion=${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${patch}
            -o ${msi} ${packaging}/windows/HalvernService.wxs
        DEPENDS halvern-service halvernctl ${packaging}/windows/HalvernService.wxs
            ${staged}/README.txt ${staged}/data/README.txt
        COMMENT "Building ${CPACK_PACKAGE_FILE_NAME}.msi" VERBATIM)
    add_custom_target(msi DEPENDS ${msi})
else()
    # Laid out for the package's prefix, /usr (the unit names /usr/sbin/halvern-service). A copy
    # placed elsewhere by hand registers itself with the "install" verb instead.
    set(HALVERN_DATA_FILES "xray and tun2socks")
    configure_file(${packaging}/data-README.in ${staged}/data/README @ONLY)
    set(HALVERN_UNIT_ORIGIN "Installed by the halvern-service package.")
    set(HALVERN_EXEC_START /usr/sbin/halvern-service)
    configure_file(${PROJECT_SOURCE_DIR}/src/service/HalvernService.service.in
        ${staged}/HalvernService.service @ONLY)
    # The service finds its data folder from /proc/self/exe, which names the real file behind
    # this link.
    file(CREATE_LINK ../lib/halvern/halvern-service ${staged}/halvern-service SYMBOLIC)

    # The top entry of the changelog must be this version: a release bumps both together.
    file(STRINGS ${packaging}/debian/changelog changelogHead LIMIT_COUNT 1)
    if(NOT changelogHead MATCHES "^halvern-service \\(${PROJECT_VERSION}\\) ")
        message(FATAL_ERROR "packaging/debian/changelog does not start with version "
            "${PROJECT_VERSION}: ${changelogHead}")
    endif()
    # Documentation goes in compressed with gzip -n, so that a rebuild gives the same bytes.
    configure_file(${packaging}/debian/changelog ${staged}/changelog COPYONLY)
    configure_file(${packaging}/man/halvernctl.1 ${staged}/halvernctl.1 @ONLY)
    configure_file(${packaging}/man/halvern-service.8 ${staged}/halvern-service.8 @ONLY)
    set(compressed)
    foreach(name changelog halvernctl.1 halvern-service.8)
        add_custom_command(OUTPUT ${staged}/${name}.gz
            COMMAND gzip -9nkf ${staged}/${name}
            DEPENDS ${staged}/${name} VERBATIM)
        list(APPEND compressed ${staged}/${name}.gz)
    endforeach()
    add_custom_target(halvern_package_documents ALL DEPENDS ${compressed})

    install(TARGETS halvern-service RUNTIME DESTINATION lib/halvern)
    install(FILES ${staged}/data/README DESTINATION lib/halvern/data)
    install(FILES ${staged}/halvern-service DESTINATION sbin)
    install(TARGETS halvernctl RUNTIME DESTINATION bin)
    install(FILES ${staged}/HalvernService.service DESTINATION lib/systemd/system)
    install(FILES ${packaging}/debian/copyright ${staged}/changelog.gz
        DESTINATION share/doc/halvern-service)
    install(FILES ${staged}/halvernctl.1.gz DESTINATION share/man/man1)
    install(FILES ${staged}/halvern-service.8.gz DESTINATION share/man/man8)

    set(CPACK_GENERATOR DEB)
    set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_SECTION net)
    set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
    set(CPACK_PACKAGE_DESCRIPTION
        "It brings one tunnel up and down on behalf of the client: it starts the\n"
        "proxy core (xray) and the TUN bridge (tun2socks), sets the tunnel's address,\n"
        "DNS servers and routes, and takes them down again. Clients (root and members\n"
        "of group halvern) talk to it over /run/halvern/HalvernService.sock, or\n"
        "through halvernctl.")
    string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
    # Libraries from dpkg-shlibdeps; iproute2 for the routes; adduser for the group.
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "iproute2, adduser")
    # Every DNS backend works without a package (the last one edits /etc/resolv.conf), and
    # recommending systemd-resolved would hand the machine's DNS to it on install: suggested only.
    set(CPACK_DEBIAN_PACKAGE_SUGGESTS "systemd-resolved | resolvconf")
    set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
        ${packaging}/debian/postinst ${packaging}/debian/prerm ${packaging}/debian/postrm)
    set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

include(CPack)
