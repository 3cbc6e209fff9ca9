// sysid_internal.h - helpers of the system identification unit that are not
// exported.  Not installed; the unit and its tests include it.
#ifndef NIVRA_SYSID_INTERNAL_H
#define NIVRA_SYSID_INTERNAL_H

namespace nivra {

// macaddr_canon1(out, in) copies the hardware-address text in to out without
// its ':' and '-' separators and with a-z turned upper case (C locale); every
// other byte is copied unchanged and out is NUL-terminated.  Nothing is
// checked: out needs strlen(in) + 1 bytes.  Inline so that it exports nothing.
inline void macaddr_canon1(char *out, const char *in) {
    for (; *in != '\0'; ++in) {
        const char c = *in;
        if (c == ':' || c == '-') continue;
        *out++ = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    }
    *out = '\0';
}

}  // namespace nivra

#endif  // NIVRA_SYSID_INTERNAL_H
