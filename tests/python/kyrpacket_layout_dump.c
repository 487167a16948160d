/* Prints the size and offset of every field of kyrpacket and KYR_EVENT_NOTIFY
   as the C compiler lays them out, one "name offset size" line each, for the
   test that compares them with the Python package's ctypes mirror. */
#include <stddef.h>
#include <stdio.h>

#include "KyrHIDLib.h"

#define FIELD(type, path) printf("%s.%s %zu %zu\n", #type, #path, offsetof(type, path), sizeof(((type*)0)->path))

int main(void)
{
    printf("kyrpacket 0 %zu\n", sizeof(kyrpacket));
    printf("kyrtouchpoint 0 %zu\n", sizeof(kyrtouchpoint));
    printf("KYR_EVENT_NOTIFY 0 %zu\n", sizeof(KYR_EVENT_NOTIFY));

    FIELD(kyrpacket, type);
    FIELD(kyrpacket, ticktime);
    FIELD(kyrpacket, partid);
    FIELD(kyrpacket, length);
    FIELD(kyrpacket, body);
    FIELD(kyrpacket, body.msg.message);
    FIELD(kyrpacket, body.obj.count);
    FIELD(kyrpacket, body.obj.start_pos);
    FIELD(kyrpacket, body.obj.end_pos);
    FIELD(kyrpacket, body.obc.count);
    FIELD(kyrpacket, body.obc.start_pos);
    FIELD(kyrpacket, body.obc.end_pos);
    FIELD(kyrpacket, body.dtc.count);
    FIELD(kyrpacket, body.dtc.start_pos);
    FIELD(kyrpacket, body.dtc.end_pos);
    FIELD(kyrpacket, body.ixd.total);
    FIELD(kyrpacket, body.ixd.offset);
    FIELD(kyrpacket, body.ixd.count);
    FIELD(kyrpacket, body.ixd.data);
    FIELD(kyrpacket, body.prv.height);
    FIELD(kyrpacket, body.prv.offset_y);
    FIELD(kyrpacket, body.prv.width);
    FIELD(kyrpacket, body.prv.image);
    FIELD(kyrpacket, body.cmd.id);
    FIELD(kyrpacket, body.cmd.command);
    FIELD(kyrpacket, body.rsp.id);
    FIELD(kyrpacket, body.rsp.is_final);
    FIELD(kyrpacket, body.rsp.command);
    FIELD(kyrpacket, body.stt.status);
    FIELD(kyrpacket, body.dvc.flag);
    FIELD(kyrpacket, body.dvc.touch_obj_cnt);
    FIELD(kyrpacket, body.dvc.mouse_buttons);
    FIELD(kyrpacket, body.dvc.mouse_wheel);
    FIELD(kyrpacket, body.dvc.mouse_x);
    FIELD(kyrpacket, body.dvc.mouse_y);
    FIELD(kyrpacket, body.dvc.touch_x);
    FIELD(kyrpacket, body.dvc.touch_y);
    FIELD(kyrpacket, body.dvc.keyboard_modifier);
    FIELD(kyrpacket, body.dvc.keyboard_reserved);
    FIELD(kyrpacket, body.dvc.keyboard_key);
    FIELD(kyrpacket, body.tpt.actual_touch);
    FIELD(kyrpacket, body.tpt.touch_count);
    FIELD(kyrpacket, body.tpt.points);
    FIELD(kyrpacket, body.gst.action_group);
    FIELD(kyrpacket, body.gst.action);
    FIELD(kyrpacket, body.gst.feasibleness);
    FIELD(kyrpacket, body.gst.x);
    FIELD(kyrpacket, body.gst.y);
    FIELD(kyrpacket, body.gst.w);
    FIELD(kyrpacket, body.gst.h);
    FIELD(kyrpacket, body.gst.zoom);
    FIELD(kyrpacket, body.gst.message);
    FIELD(kyrpacket, body.ver.nv);
    FIELD(kyrpacket, body.ver.minor);
    FIELD(kyrpacket, body.ver.major);
    FIELD(kyrpacket, body.ver.model);
    FIELD(kyrpacket, body.ver.date);
    FIELD(kyrpacket, body.ver.time);

    FIELD(kyrtouchpoint, x);
    FIELD(kyrtouchpoint, y);
    FIELD(kyrtouchpoint, w);
    FIELD(kyrtouchpoint, h);
    FIELD(kyrtouchpoint, s);

    FIELD(KYR_EVENT_NOTIFY, Context);
    FIELD(KYR_EVENT_NOTIFY, fnOnHandleEvents);
    FIELD(KYR_EVENT_NOTIFY, fnOnDisconnect);
    FIELD(KYR_EVENT_NOTIFY, fnOnReceiveRawData);
    FIELD(KYR_EVENT_NOTIFY, fnOnDownloadingFirmware);
    FIELD(KYR_EVENT_NOTIFY, fnOnPacket);
    return 0;
}
