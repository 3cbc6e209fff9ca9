/*
 * version.h - the support library's version.
 *
 * Compiles as C99 and as C++.  Linked into nodeprint and the static library;
 * the separately shipped object modules nivra_utils.o and nivra_sysid.o do not
 * carry it.
 */
#ifndef NIVRA_VERSION_H
#define NIVRA_VERSION_H

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Nivra_GetVersion() returns the library's version text, "1.5.1.3".
 *
 * The text is a constant owned by the library: the same pointer on every call,
 * never to be changed or freed by the caller.  It cannot fail.
 */
const char *Nivra_GetVersion(void);

#ifdef __cplusplus
}
#endif

#endif /* NIVRA_VERSION_H */
