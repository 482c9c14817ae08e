#ifndef PELMAR_C_BINDING_H
#define PELMAR_C_BINDING_H

#ifdef __cplusplus
extern "C" {
#endif

/* Reads the XYZ file at the NUL-terminated path into a temporary crystal record
 * and releases it. Returns 0 on success, the errno value when the file can't be
 * opened or read, and -1 for malformed content. Never prints, never exits. */
int c_read_xyz(const char *xyz_file_in_c);

/* The message of the calling thread's last failure of c_read_xyz, or "" when
 * its last call succeeded. Valid until the thread's next call. */
const char *c_read_xyz_error(void);

#ifdef __cplusplus
}
#endif

#endif
