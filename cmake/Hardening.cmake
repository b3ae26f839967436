# The agent runs in a child's session and reads what the network and the browsers send, so it is
# built with the hardening Debian gives its own packages (dpkg-buildflags): stack protection,
# read-only relocations bound at start, and glibc's checked string and memory functions.
add_compile_options(-fstack-protector-strong -fstack-clash-protection)
add_link_options(LINKER:-z,relro LINKER:-z,now)
# glibc's checks need the optimiser, and under the sanitizers they would only hide what those find.
if(NOT TESSARY_SANITIZE AND NOT TESSARY_FUZZ)
  add_compile_options("$<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>")
endif()
