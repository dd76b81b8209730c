# SPDX-License-Identifier: GPL-3.0-or-later
# Writes FILE.sha256 beside FILE: the checksum and the file's name, as sha256sum prints them.
file(SHA256 "${FILE}" sum)
get_filename_component(name "${FILE}" NAME)
file(WRITE "${FILE}.sha256" "${sum}  ${name}\n")
