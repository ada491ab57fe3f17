#!/bin/sh
# SPDX-License-Identifier: MIT
# Prints the package's Maintainer, as Debian's tools take it: DEBFULLNAME and DEBEMAIL,
# else the git identity. With neither, says what to set and fails: the package never
# carries a made-up address.
name=${DEBFULLNAME:-} email=${DEBEMAIL:-}
case $email in
*"<"*">"*) # DEBEMAIL="Name <address>"
    [ -n "$name" ] || name=$(printf '%s' "$email" | sed 's/ *<.*//')
    email=$(printf '%s' "$email" | sed 's/.*<\(.*\)>.*/\1/') ;;
esac
if [ -z "$name" ] || [ -z "$email" ]; then
    name=$(git -C "$(dirname "$0")" config user.name 2>/dev/null) || name=
    email=$(git -C "$(dirname "$0")" config user.email 2>/dev/null) || email=
fi
if [ -z "$name" ] || [ -z "$email" ]; then
    echo "No maintainer for the package. Set DEBFULLNAME and DEBEMAIL, for example:" >&2
    echo "  export DEBFULLNAME='Your Name' DEBEMAIL='you@example.org'" >&2
    echo "or give git your identity (git config user.name, git config user.email)." >&2
    exit 1
fi
printf '%s <%s>\n' "$name" "$email"
