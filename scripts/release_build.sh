# Sourced: configure_release DIR configures the release build the Debian package is made from, with
# Debian's hardening flags and the prefix /usr. The full suite runs on the same build, so the package's
# code is the code tested.

# Without -g: the package's programs are stripped, so their debug information would be compiled only to be
# thrown away (a fifth of the build's time); the code is the same with it or without.
release_flags() {
    local value
    value=" $(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1") "
    value=${value// -g / }
    value=${value# }
    echo "${value% }"
}

configure_release() {
    CXXFLAGS="$(release_flags CXXFLAGS) $(release_flags CPPFLAGS)" \
        CFLAGS="$(release_flags CFLAGS) $(release_flags CPPFLAGS)" LDFLAGS="$(release_flags LDFLAGS)" \
        cmake -S . -B "$1" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DUPDATER_WERROR=ON >/dev/null
}
