/* Prints the size and offset of every field of kyrpacket, kyrtouchpoint and
   KYR_EVENT_NOTIFY as the C compiler lays them out, one "name offset size"
   line each, for the test that compares them with the Python package's ctypes
   mirror. */
#include <stddef.h>
#include <stdio.h>

#include "KyrHIDLib.h"

#define FIELD(type, path) printf("%s.%s %zu %zu\n", #type, #path, offsetof(type, path), sizeof(((type*)0)->path))
#define BODY(path) FIELD(kyrpacket, body.path)
#define EVENT(name) FIELD(KYR_EVENT_NOTIFY, name)

int main(void)
{
    printf("kyrpacket 0 %zu\nkyrtouchpoint 0 %zu\nKYR_EVENT_NOTIFY 0 %zu\n", sizeof(kyrpacket), sizeof(kyrtouchpoint),
           sizeof(KYR_EVENT_NOTIFY));
    FIELD(kyrpacket, type); FIELD(kyrpacket, ticktime); FIELD(kyrpacket, partid); FIELD(kyrpacket, length);
    FIELD(kyrpacket, body); BODY(msg.message); BODY(stt.status);
    BODY(obj.count); BODY(obj.start_pos); BODY(obj.end_pos);
    BODY(obc.count); BODY(obc.start_pos); BODY(obc.end_pos);
    BODY(dtc.count); BODY(dtc.start_pos); BODY(dtc.end_pos);
    BODY(ixd.total); BODY(ixd.offset); BODY(ixd.count); BODY(ixd.data);
    BODY(prv.height); BODY(prv.offset_y); BODY(prv.width); BODY(prv.image);
    BODY(cmd.id); BODY(cmd.command);
    BODY(rsp.id); BODY(rsp.is_final); BODY(rsp.command);
    BODY(dvc.flag); BODY(dvc.touch_obj_cnt); BODY(dvc.mouse_buttons); BODY(dvc.mouse_wheel); BODY(dvc.mouse_x);
    BODY(dvc.mouse_y); BODY(dvc.touch_x); BODY(dvc.touch_y); BODY(dvc.keyboard_modifier);
    BODY(dvc.keyboard_reserved); BODY(dvc.keyboard_key);
    BODY(tpt.actual_touch); BODY(tpt.touch_count); BODY(tpt.points);
    BODY(gst.action_group); BODY(gst.action); BODY(gst.feasibleness); BODY(gst.x); BODY(gst.y); BODY(gst.w);
    BODY(gst.h); BODY(gst.zoom); BODY(gst.message);
    BODY(ver.nv); BODY(ver.minor); BODY(ver.major); BODY(ver.model); BODY(ver.date); BODY(ver.time);
    FIELD(kyrtouchpoint, x); FIELD(kyrtouchpoint, y); FIELD(kyrtouchpoint, w); FIELD(kyrtouchpoint, h);
    FIELD(kyrtouchpoint, s);
    EVENT(Context); EVENT(fnOnHandleEvents); EVENT(fnOnDisconnect); EVENT(fnOnReceiveRawData);
    EVENT(fnOnDownloadingFirmware); EVENT(fnOnPacket);
    return 0;
}
