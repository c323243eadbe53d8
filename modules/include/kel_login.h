/* What the login layer leaves on every request it lets through, and what
 * every other module of the portal reads. Only the login layer sets these:
 * it removes a client's own "QXKEL-SessionDir" header before any module
 * reads the request. */
#ifndef KEL_LOGIN_H
#define KEL_LOGIN_H

#include <string.h>

/* Request notes. */
#define KEL_NOTE_AUTH_LEVEL "qxkelauthlevel" /* one digit, see below */
#define KEL_NOTE_USER_NAME "qxkelusername"   /* account, may be DOMAIN\name */
/* Request header: a directory that belongs to the user's login session. */
#define KEL_HEADER_SESSION_DIR "QXKEL-SessionDir"

/* Access levels, as the note's text. */
#define KEL_LEVEL_ANONYMOUS "1"
#define KEL_LEVEL_USER "2"
#define KEL_LEVEL_OPERATOR "3"
#define KEL_LEVEL_ADMINISTRATOR "4"

/* The pseudo-accounts of a local-access login. */
#define KEL_LOCAL_ADMINISTRATOR "qxkel_local_administrator"
#define KEL_LOCAL_ANONYMOUS "qxkel_local_anonymous"

/* Only the note "4" grants administrator pages and actions; a missing note
 * is not an administrator. */
static inline int KelIsAdministrator(const char *authLevel)
{
    return authLevel != NULL && strcmp(authLevel, KEL_LEVEL_ADMINISTRATOR) == 0;
}

#endif /* KEL_LOGIN_H */
