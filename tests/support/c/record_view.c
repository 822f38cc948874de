/* The reader record as a C program sees it through the public header. */
#include <stdio.h>

#include "qdapi.h"

int describe_record(reader_handle handle, char *out, size_t size)
{
    const reader_record *r = handle_to_reader(handle);
    if (!r)
        return -1;
    return snprintf(out, size,
                    "host=%s remote=%d connected=%d hwid0=%08x:%s hwid1=%08x:%s "
                    "antennas=%d:%d%d protocols=%04x searches=%d versions=%d%d%d",
                    r->host_name, (int)r->remote, r->client != NULL,
                    (unsigned)r->hwids[0].hwid, r->hwids[0].text,
                    (unsigned)r->hwids[1].hwid, r->hwids[1].text,
                    (int)r->antennas.count, r->antennas.entries[0].connected != 0,
                    r->antennas.entries[1].connected != 0, (unsigned)r->protocols.bits[0],
                    r->auto_searches != NULL, r->firmware_version != NULL,
                    r->os_version != NULL, r->settings_text != NULL);
}

const char *hwid_text(reader_handle handle, int slot)
{
    const reader_record *r = handle_to_reader(handle);
    return r ? r->hwids[slot].text : NULL;
}
