/* kord_setup: the installer's custom actions.
 *
 * Every action takes five arguments: (1) the window that owns its message
 * boxes (unused on Linux: a message box is one line on standard error and
 * one syslog alert, caption first); (2) a directory holding the
 * installation package; (3) a second directory (system libraries for
 * msi_copy2installdir, the template directory for msi_copy2srcdir); (4) the
 * installation root; (5) unused. Each returns 1 for success, 0 for failure.
 *
 * The services are systemd units written into $TESSARON_UNIT_DIR (default
 * /etc/systemd/system); systemctl is called only when that variable is not
 * set. The uninstall key lives in the registry tree under
 * $TESSARON_REGISTRY (default /var/lib/tessaron/registry).
 */
#ifndef KORD_SETUP_H
#define KORD_SETUP_H

#include <stdint.h>

#define KORD_SETUP_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

/* Keeps "<dir>/Tessaron(tm) Master Server.msi" as
 * "<root>/lib/setup/Tessaron(tm) Master Server.msi". */
KORD_SETUP_API int32_t msi_copy2installdir(void *window, const char *package_dir,
                                           const char *system_dir, const char *root,
                                           const char *unused);
/* Puts the kept package back into the recorded install-source directory,
 * which it creates after the template directory. */
KORD_SETUP_API int32_t msi_copy2srcdir(void *window, const char *package_dir,
                                       const char *template_dir, const char *root,
                                       const char *unused);
/* Removes what an uninstallation leaves: the data map, the empty
 * directories of the root, the install-source copy and its directory. */
KORD_SETUP_API int32_t msi_delsrcdir(void *window, const char *package_dir,
                                     const char *second_dir, const char *root,
                                     const char *unused);
/* Creates the units of the traffic controller and of the master server. */
KORD_SETUP_API int32_t register_nt_service(void *window, const char *package_dir,
                                           const char *second_dir, const char *root,
                                           const char *unused);
/* Deletes the kept package, stops and deletes both units. */
KORD_SETUP_API int32_t deregister_nt_service(void *window, const char *package_dir,
                                             const char *second_dir, const char *root,
                                             const char *unused);

/* The system-library copy of msi_copy2installdir on old systems, with the
 * system directory given (never needed on Linux; kept reachable for tests). */
KORD_SETUP_API void setup_copy_system_files(void *window, const char *dir,
                                            const char *system_dir);

#ifdef __cplusplus
}
#endif

#endif /* KORD_SETUP_H */
