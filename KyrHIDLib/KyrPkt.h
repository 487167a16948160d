// Wire formats of the device protocol: the 64-byte HID report, the packet
// carried in a series of reports, the packet-id space and every body layout.
//
// Every field is little-endian and nothing is padded: devices, the firmware
// tools and other processes read these bytes at these offsets.
#pragma once

#include <cstddef>

#include "cpu_type.h"

namespace kyr_hid_library {

// --- HID report ---------------------------------------------------------

enum {
    HID_REPORT_SIZE = 64,
    HID_REPORT_PAYLOAD = 61,    // payload bytes per report
    HID_REPORT_ID = 1,          // report id of every report the library writes
};

// Report types: series and position.
enum {
    HID_PKT_SINGLE_MORE = 0x00,
    HID_PKT_SINGLE_LAST = 0x01,
    HID_PKT_STREAM_MORE = 0x80,
    HID_PKT_STREAM_LAST = 0x81,
};

// Size limits of the receiving side and of an outgoing command packet.
enum {
    PKT_SINGLE_MAX = 511,       // single series, CRC included
    PKT_STREAM_MAX = 4096,      // stream series, header and raw bytes
    PKT_COMMAND_BUFFER = 1024,  // outgoing command packet
    PKT_CRC_SIZE = 2,
    PKT_CRC_RESIDUE = 0xF0B8,   // register left by an intact packet and its CRC
};

#pragma pack(push, 1)

typedef struct tag_hid_pkt_type {
    byte id;
    byte type;
    byte size;
    byte data[HID_REPORT_PAYLOAD];
} hid_pkt_type;

#pragma pack(pop)

static_assert(sizeof(hid_pkt_type) == HID_REPORT_SIZE);
static_assert(offsetof(hid_pkt_type, type) == 1);
static_assert(offsetof(hid_pkt_type, size) == 2);
static_assert(offsetof(hid_pkt_type, data) == 3);

// --- Packet ids -----------------------------------------------------------

// One enumeration, so that addresses, masks and types combine freely.
enum {
    PKT_ADDRMASK = 0xF000,
    PKT_RAWFORMAT_FLAG = 0x0800,
    PKT_PARTMASK = 0x0700,
    PKT_TYPEMASK = 0x0FFF,

    PKT_ADDR_IAP = 0x0000,
    PKT_ADDR_MM = 0x1000,
    PKT_ADDR_CM1 = 0x2000,
    PKT_ADDR_CM2 = 0x4000,
    PKT_ADDR_CM_SUB = 0x8000,
    PKT_ADDR_BYPASS = 0x8000,

    PKT_PART_IAP = 0x0100,
    PKT_PART_CM = 0x0200,
    PKT_PART_MM = 0x0300,

    PKT_VER = 0x000,
    PKT_IRD = 0x801,
    PKT_ITD = 0x802,
    PKT_OBJ = 0x003,
    PKT_OBC = 0x004,
    PKT_PRV = 0x805,
    PKT_MSG = 0x006,
    PKT_CMD = 0x007,
    PKT_RSP = 0x008,
    PKT_RSC = 0x009,
    PKT_RSE = 0x00A,
    PKT_SILENCE_RPT = 0x00B,
    PKT_STT = 0x00C,
    PKT_BAD_ID = 0x7FF,

    IAP_PKT_ERASE = 0x100,
    IAP_PKT_WRITE = 0x101,
    IAP_PKT_MARK_APP = 0x102,
    IAP_PKT_RESET = 0x103,
    IAP_PKT_MODE = 0x104,
    IAP_PKT_VER = 0x105,
    IAP_PKT_NOP = 0x106,
    IAP_PKT_MARK_IAP = 0x107,
    IAP_PKT_CM_OFF = 0x108,
    IAP_PKT_MODEL = 0x109,
    IAP_PKT_IAP_ERASE = 0x10A,
    IAP_PKT_IAP_WRITE = 0x10B,
    IAP_PKT_CAPABILITY = 0x10C,
    IAP_PKT_REV = 0x110,
    IAP_PKT_PAGE_ERASE = 0x111,
    IAP_UPG_PKT_ERASE = 0x112,
    IAP_UPG_PKT_WRITE = 0x113,
    IAP_UPG_PKT_COMMIT = 0x114,
    IAP_PKT_USART_TX_PIN = 0x115,

    MM_PKT_VER = 0x1000,
    MM_PKT_MSG = 0x1006,
    MM_PKT_CMD = 0x1007,
    MM_PKT_RSP = 0x1008,
    MM_PKT_RSC = 0x1009,
    MM_PKT_RSE = 0x100A,
    MM_PKT_STT = 0x100C,
    MM_PKT_RSP1 = 0x2008,
    MM_PKT_RSP2 = 0x4008,
    MM_PKT_TOUCHPOINTS = 0x1300,
    MM_PKT_GESTURE = 0x1301,
    MM_PKT_DEVICE = 0x1302,     // travels without a valid CRC
};

// Command body. The id byte is used whole: the library applies none of the masks.
enum {
    PKT_CMD_TYPE_STRING = 0,
    PKT_CMD_MODE_STRING = 0,
    PKT_CMD_MODE_RAWDATA = 0x40,
    PKT_CMD_MODE_MASK = 0xC0,
    PKT_CMD_ID_MASK = 0x3F,
    CM_PKT_CMD_TYPE_SET_ENV = 0x50,
};

// --- Bodies ----------------------------------------------------------------

#pragma pack(push, 1)

typedef struct tag_cm_pkt_cmd_env_set {
    word maj_ver;
    word mode;
    word sensor_gain;
    word ambient_light_left;
    word ambient_light_center;
    word ambient_light_right;
} cm_pkt_cmd_env_set;

typedef struct tag_cm_pkt_rsp_env_set {
    std::uint32_t dummy;
} cm_pkt_rsp_env_set;

typedef union tag_pkt_cmd_data {
    char str[440];
    char s1[440];
    byte u1[440];
    int16 s2[220];
    word u2[220];
    std::int32_t s4[110];
    std::uint32_t u4[110];
    float f4[110];
    cm_pkt_cmd_env_set env_set;
    cm_pkt_rsp_env_set env_rsp;
} pkt_cmd_data;

typedef struct tag_pkt_cmd_body {
    byte type;
    byte id;
    word size;
    pkt_cmd_data data;
} pkt_cmd_body;

typedef struct tag_pkt_ver_body {
    word nv;
    word min;
    word maj;
    word model;
    byte date[11];
    byte time[8];
} pkt_ver_body;

typedef struct tag_pkt_obj_data {
    float start;
    float end;
} pkt_obj_data;

typedef struct tag_pkt_obj_body {
    word num_of_obj;
    word reserved;
    pkt_obj_data obj_pos[4];
} pkt_obj_body;

typedef struct tag_pkt_obc_data {
    float start;
    float end;
} pkt_obc_data;

typedef struct tag_pkt_obc_body {
    word num_of_obc;
    word reserved;
    pkt_obc_data obc_pos[4];
} pkt_obc_body;

typedef struct tag_pkt_dtc_data {
    word start;
    word end;
} pkt_dtc_data;

enum { PKT_DTC_MAX = 10 };

// Followed on the wire by max(1, min(num_of_dtc, 10)) detection ranges, then
// rawdata_size raw bytes.
typedef struct tag_pkt_ixd_body {
    word rawdata_size;
    word total;
    int16 offset;
    word num_of_dtc;
    pkt_obc_data obc_pos;
    pkt_dtc_data dtc_pos[PKT_DTC_MAX];
} pkt_ixd_body;

typedef struct tag_pkt_prv_body {
    word rawdata_size;
    word total;
    int16 offset;
    byte data[256];
} pkt_prv_body;

typedef struct tag_pkt_rawformat_body {
    word rawdata_size;
} pkt_rawformat_body;

typedef struct tag_pkt_msg_body {
    char partid[4];
    word len;
    char str[254];
} pkt_msg_body;

typedef struct tagtouchpoint {
    word x;
    word y;
    word w;
    word h;
    word s;
} touchpoint;

typedef struct tag_mm_pkt_touchpoints_body {
    word pnt_cnt;
    word guess_cnt;
    touchpoint tchpnt[4];
} mm_pkt_touchpoints_body;

typedef struct tag_mm_pkt_gesture_body {
    byte action_group;
    byte action;
    word feasibleness;
    word x;
    word y;
    word w;
    word h;
    float angle;
    float zoom;
    word len;
    char msg[242];
} mm_pkt_gesture_body;

typedef struct tag_mm_pkt_device_body {
    byte flag;
    byte touch_obj_cnt;
    byte mouse_buttons;
    std::int8_t mouse_wheel;
    word mouse_x;
    word mouse_y;
    float touch_x;
    float touch_y;
    byte keyboard_modifier;
    byte keyboard_reserved;
    byte keyboard_key[6];
} mm_pkt_device_body;

typedef struct tag_pkt_badid_body {
    word pkt_id;
    word ticktime;
} pkt_badid_body;

typedef union tag_pkt_body {
    pkt_cmd_body cmd;
    pkt_ver_body ver;
    pkt_obj_body obj;
    pkt_obc_body obc;
    pkt_ixd_body ixd;
    pkt_prv_body prv;
    pkt_rawformat_body raw;
    pkt_msg_body msg;
    mm_pkt_touchpoints_body tpt;
    mm_pkt_gesture_body gst;
    mm_pkt_device_body dvc;
    pkt_badid_body badid;
    byte pad[510];
} pkt_body;

// Large enough for any packet the single series accepts.
typedef struct tag_pkt_type {
    word pkt_id;
    word ticktime;
    pkt_body body;
} pkt_type;

// Firmware queries and their answers: the word after the id is the answered
// value instead of a tick time.
typedef struct tag_kyrmode_packet {
    word pkt_id;
    word mode;
} kyrmode_packet;

typedef struct tag_kyrversion_iap_packet {
    word pkt_id;
    word model;
} kyrversion_iap_packet;

typedef struct tag_kyrversion_app_packet {
    word pkt_id;
    word ticktime;
    pkt_ver_body ver;
} kyrversion_app_packet;

#pragma pack(pop)

// Offsets below are from the start of the packet.
#define KYR_PKT_OFFSET(field) offsetof(pkt_type, body.field)

static_assert(sizeof(pkt_type) == 514);
static_assert(sizeof(pkt_body) == 510);
static_assert(offsetof(pkt_type, ticktime) == 2);
static_assert(offsetof(pkt_type, body) == 4);

static_assert(sizeof(pkt_cmd_data) == 440);
static_assert(sizeof(cm_pkt_cmd_env_set) == 12);
static_assert(KYR_PKT_OFFSET(cmd.type) == 4);
static_assert(KYR_PKT_OFFSET(cmd.id) == 5);
static_assert(KYR_PKT_OFFSET(cmd.size) == 6);
static_assert(KYR_PKT_OFFSET(cmd.data) == 8);

static_assert(sizeof(pkt_ver_body) == 27);
static_assert(KYR_PKT_OFFSET(ver.nv) == 4);
static_assert(KYR_PKT_OFFSET(ver.min) == 6);
static_assert(KYR_PKT_OFFSET(ver.maj) == 8);
static_assert(KYR_PKT_OFFSET(ver.model) == 10);
static_assert(KYR_PKT_OFFSET(ver.date) == 12);
static_assert(KYR_PKT_OFFSET(ver.time) == 23);

static_assert(sizeof(pkt_obj_data) == 8 && sizeof(pkt_obc_data) == 8);
static_assert(KYR_PKT_OFFSET(obj.num_of_obj) == 4);
static_assert(KYR_PKT_OFFSET(obj.reserved) == 6);
static_assert(KYR_PKT_OFFSET(obj.obj_pos) == 8);
static_assert(KYR_PKT_OFFSET(obc.num_of_obc) == 4);
static_assert(KYR_PKT_OFFSET(obc.obc_pos) == 8);

static_assert(sizeof(pkt_dtc_data) == 4);
static_assert(KYR_PKT_OFFSET(ixd.rawdata_size) == 4);
static_assert(KYR_PKT_OFFSET(ixd.total) == 6);
static_assert(KYR_PKT_OFFSET(ixd.offset) == 8);
static_assert(KYR_PKT_OFFSET(ixd.num_of_dtc) == 10);
static_assert(KYR_PKT_OFFSET(ixd.obc_pos.start) == 12);
static_assert(KYR_PKT_OFFSET(ixd.obc_pos.end) == 16);
static_assert(KYR_PKT_OFFSET(ixd.dtc_pos) == 20);

static_assert(KYR_PKT_OFFSET(prv.rawdata_size) == 4);
static_assert(KYR_PKT_OFFSET(prv.total) == 6);
static_assert(KYR_PKT_OFFSET(prv.offset) == 8);
static_assert(KYR_PKT_OFFSET(prv.data) == 10);
static_assert(KYR_PKT_OFFSET(raw.rawdata_size) == 4);

static_assert(KYR_PKT_OFFSET(msg.partid) == 4);
static_assert(KYR_PKT_OFFSET(msg.len) == 8);
static_assert(KYR_PKT_OFFSET(msg.str) == 10);

static_assert(sizeof(touchpoint) == 10);
static_assert(KYR_PKT_OFFSET(tpt.pnt_cnt) == 4);
static_assert(KYR_PKT_OFFSET(tpt.guess_cnt) == 6);
static_assert(KYR_PKT_OFFSET(tpt.tchpnt) == 8);

static_assert(KYR_PKT_OFFSET(gst.action_group) == 4);
static_assert(KYR_PKT_OFFSET(gst.action) == 5);
static_assert(KYR_PKT_OFFSET(gst.feasibleness) == 6);
static_assert(KYR_PKT_OFFSET(gst.x) == 8);
static_assert(KYR_PKT_OFFSET(gst.y) == 10);
static_assert(KYR_PKT_OFFSET(gst.w) == 12);
static_assert(KYR_PKT_OFFSET(gst.h) == 14);
static_assert(KYR_PKT_OFFSET(gst.angle) == 16);
static_assert(KYR_PKT_OFFSET(gst.zoom) == 20);
static_assert(KYR_PKT_OFFSET(gst.len) == 24);
static_assert(KYR_PKT_OFFSET(gst.msg) == 26);

static_assert(sizeof(mm_pkt_device_body) == 24);
static_assert(KYR_PKT_OFFSET(dvc.flag) == 4);
static_assert(KYR_PKT_OFFSET(dvc.touch_obj_cnt) == 5);
static_assert(KYR_PKT_OFFSET(dvc.mouse_buttons) == 6);
static_assert(KYR_PKT_OFFSET(dvc.mouse_wheel) == 7);
static_assert(KYR_PKT_OFFSET(dvc.mouse_x) == 8);
static_assert(KYR_PKT_OFFSET(dvc.mouse_y) == 10);
static_assert(KYR_PKT_OFFSET(dvc.touch_x) == 12);
static_assert(KYR_PKT_OFFSET(dvc.touch_y) == 16);
static_assert(KYR_PKT_OFFSET(dvc.keyboard_modifier) == 20);
static_assert(KYR_PKT_OFFSET(dvc.keyboard_reserved) == 21);
static_assert(KYR_PKT_OFFSET(dvc.keyboard_key) == 22);

static_assert(KYR_PKT_OFFSET(badid.pkt_id) == 4);
static_assert(KYR_PKT_OFFSET(badid.ticktime) == 6);

static_assert(sizeof(kyrmode_packet) == 4 && offsetof(kyrmode_packet, mode) == 2);
static_assert(sizeof(kyrversion_iap_packet) == 4 && offsetof(kyrversion_iap_packet, model) == 2);
static_assert(sizeof(kyrversion_app_packet) == 31 && offsetof(kyrversion_app_packet, ver) == 4);

#undef KYR_PKT_OFFSET

} // namespace kyr_hid_library
