#ifndef PELMAR_C_BINDING_H
#define PELMAR_C_BINDING_H

/* Exported from every shared object that links them, the pelmar module included,
 * so that C programs and ctypes can call them. */
#if defined(__GNUC__)
#define PELMAR_C_API __attribute__((visibility("default")))
#else
#define PELMAR_C_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Reads the XYZ file at the NUL-terminated path into a temporary crystal record
 * and releases it. Returns 0 on success, the errno value when the file can't be
 * opened or read (ENOMEM when memory runs out), and -1 for malformed content.
 * A null pointer names no file. Never prints, never exits. */
PELMAR_C_API int c_read_xyz(const char *xyz_file_in_c);

/* The message of the calling thread's last failure of c_read_xyz, or "" when
 * its last call succeeded. Valid until the thread's next call. */
PELMAR_C_API const char *c_read_xyz_error(void);

#ifdef __cplusplus
}
#endif

#endif
