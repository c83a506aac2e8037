/* The message queue interface: calls, version-1 structures, constants and reason codes.
 *
 * Agents are written against this header exactly as against a commercial queue manager's
 * client library. Structures are plain byte images (every member is a 4-byte integer or a
 * byte array), so their layouts are the same on every platform; the sizes are checked below.
 * Character fields are blank-padded and never NUL-terminated on output; on input a NUL ends
 * the significant text. Every call reports through CompCode and Reason only.
 *
 * Threads: a connection handle belongs to the thread that made it; another thread using it
 * gets MQRC_HCONN_ERROR. Several threads may hold connections of their own at once.
 */
#ifndef QT_MQI_MQI_H
#define QT_MQI_MQI_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- elementary types ---- */
typedef int32_t MQLONG;
typedef uint32_t MQULONG;
typedef MQLONG MQHCONN;
typedef MQLONG MQHOBJ;
typedef char MQCHAR;
typedef unsigned char MQBYTE;
typedef MQCHAR MQCHAR4[4];
typedef MQCHAR MQCHAR8[8];
typedef MQCHAR MQCHAR12[12];
typedef MQCHAR MQCHAR28[28];
typedef MQCHAR MQCHAR32[32];
typedef MQCHAR MQCHAR48[48];
typedef MQBYTE MQBYTE24[24];
typedef MQBYTE MQBYTE32[32];
typedef MQLONG* PMQLONG;
typedef MQHCONN* PMQHCONN;
typedef MQHOBJ* PMQHOBJ;
typedef MQCHAR* PMQCHAR;
typedef void* PMQVOID;

/* ---- field lengths ---- */
#define MQ_Q_NAME_LENGTH 48
#define MQ_Q_MGR_NAME_LENGTH 48
#define MQ_MSG_ID_LENGTH 24
#define MQ_CORREL_ID_LENGTH 24
#define MQ_FORMAT_LENGTH 8
#define MQ_USER_ID_LENGTH 12
#define MQ_ACCOUNTING_TOKEN_LENGTH 32
#define MQ_APPL_IDENTITY_DATA_LENGTH 32
#define MQ_PUT_APPL_NAME_LENGTH 28
#define MQ_PUT_DATE_LENGTH 8
#define MQ_PUT_TIME_LENGTH 8
#define MQ_APPL_ORIGIN_DATA_LENGTH 4

/* ---- MQOD: object descriptor, version 1 = 168 bytes ---- */
typedef struct tagMQOD {
  MQCHAR4 StrucId;          /* "OD  " */
  MQLONG Version;           /* 1 */
  MQLONG ObjectType;        /* MQOT_Q */
  MQCHAR48 ObjectName;
  MQCHAR48 ObjectQMgrName;
  MQCHAR48 DynamicQName;    /* "AMQ.*" */
  MQCHAR12 AlternateUserId;
} MQOD;
typedef MQOD* PMQOD;

/* ---- MQMD: message descriptor, version 1 = 324 bytes ---- */
typedef struct tagMQMD {
  MQCHAR4 StrucId;          /* "MD  " */
  MQLONG Version;           /* 1 */
  MQLONG Report;
  MQLONG MsgType;
  MQLONG Expiry;
  MQLONG Feedback;
  MQLONG Encoding;
  MQLONG CodedCharSetId;
  MQCHAR8 Format;
  MQLONG Priority;
  MQLONG Persistence;
  MQBYTE24 MsgId;
  MQBYTE24 CorrelId;
  MQLONG BackoutCount;
  MQCHAR48 ReplyToQ;
  MQCHAR48 ReplyToQMgr;
  MQCHAR12 UserIdentifier;
  MQBYTE32 AccountingToken;
  MQCHAR32 ApplIdentityData;
  MQLONG PutApplType;
  MQCHAR28 PutApplName;
  MQCHAR8 PutDate;          /* YYYYMMDD, UTC */
  MQCHAR8 PutTime;          /* HHMMSSTH, UTC */
  MQCHAR4 ApplOriginData;
} MQMD;
typedef MQMD* PMQMD;

/* ---- MQGMO: get-message options, version 1 = 72 bytes ---- */
typedef struct tagMQGMO {
  MQCHAR4 StrucId;          /* "GMO " */
  MQLONG Version;           /* 1 */
  MQLONG Options;
  MQLONG WaitInterval;      /* milliseconds, or MQWI_UNLIMITED */
  MQLONG Signal1;
  MQLONG Signal2;
  MQCHAR48 ResolvedQName;
} MQGMO;
typedef MQGMO* PMQGMO;

/* ---- MQPMO: put-message options, version 1 = 128 bytes ---- */
typedef struct tagMQPMO {
  MQCHAR4 StrucId;          /* "PMO " */
  MQLONG Version;           /* 1 */
  MQLONG Options;
  MQLONG Timeout;
  MQHOBJ Context;
  MQLONG KnownDestCount;
  MQLONG UnknownDestCount;
  MQLONG InvalidDestCount;
  MQCHAR48 ResolvedQName;
  MQCHAR48 ResolvedQMgrName;
} MQPMO;
typedef MQPMO* PMQPMO;

/* ---- structure identifiers and versions ---- */
#define MQOD_STRUC_ID "OD  "
#define MQMD_STRUC_ID "MD  "
#define MQGMO_STRUC_ID "GMO "
#define MQPMO_STRUC_ID "PMO "
#define MQOD_STRUC_ID_ARRAY 'O', 'D', ' ', ' '
#define MQMD_STRUC_ID_ARRAY 'M', 'D', ' ', ' '
#define MQGMO_STRUC_ID_ARRAY 'G', 'M', 'O', ' '
#define MQPMO_STRUC_ID_ARRAY 'P', 'M', 'O', ' '
#define MQOD_VERSION_1 1
#define MQMD_VERSION_1 1
#define MQGMO_VERSION_1 1
#define MQPMO_VERSION_1 1

/* ---- completion codes ---- */
#define MQCC_OK 0
#define MQCC_WARNING 1
#define MQCC_FAILED 2
#define MQCC_UNKNOWN (-1)

/* ---- MQOPEN options ---- */
#define MQOO_BIND_AS_Q_DEF 0x00000000
#define MQOO_INPUT_AS_Q_DEF 0x00000001
#define MQOO_INPUT_SHARED 0x00000002
#define MQOO_INPUT_EXCLUSIVE 0x00000004
#define MQOO_BROWSE 0x00000008
#define MQOO_OUTPUT 0x00000010
#define MQOO_INQUIRE 0x00000020
#define MQOO_SET 0x00000040
#define MQOO_SAVE_ALL_CONTEXT 0x00000080
#define MQOO_PASS_IDENTITY_CONTEXT 0x00000100
#define MQOO_PASS_ALL_CONTEXT 0x00000200
#define MQOO_SET_IDENTITY_CONTEXT 0x00000400
#define MQOO_SET_ALL_CONTEXT 0x00000800
#define MQOO_ALTERNATE_USER_AUTHORITY 0x00001000
#define MQOO_FAIL_IF_QUIESCING 0x00002000
#define MQOO_BIND_ON_OPEN 0x00004000
#define MQOO_BIND_NOT_FIXED 0x00008000

/* ---- MQGET options ---- */
#define MQGMO_NO_WAIT 0x00000000
#define MQGMO_NONE 0x00000000
#define MQGMO_WAIT 0x00000001
#define MQGMO_SYNCPOINT 0x00000002
#define MQGMO_NO_SYNCPOINT 0x00000004
#define MQGMO_SET_SIGNAL 0x00000008
#define MQGMO_BROWSE_FIRST 0x00000010
#define MQGMO_BROWSE_NEXT 0x00000020
#define MQGMO_ACCEPT_TRUNCATED_MSG 0x00000040
#define MQGMO_MARK_SKIP_BACKOUT 0x00000080
#define MQGMO_MSG_UNDER_CURSOR 0x00000100
#define MQGMO_LOCK 0x00000200
#define MQGMO_UNLOCK 0x00000400
#define MQGMO_BROWSE_MSG_UNDER_CURSOR 0x00000800
#define MQGMO_SYNCPOINT_IF_PERSISTENT 0x00001000
#define MQGMO_FAIL_IF_QUIESCING 0x00002000
#define MQGMO_CONVERT 0x00004000
#define MQGMO_LOGICAL_ORDER 0x00008000
#define MQGMO_COMPLETE_MSG 0x00010000
#define MQGMO_ALL_MSGS_AVAILABLE 0x00020000
#define MQGMO_ALL_SEGMENTS_AVAILABLE 0x00040000

/* ---- MQPUT options ---- */
#define MQPMO_NONE 0x00000000
#define MQPMO_SYNCPOINT 0x00000002
#define MQPMO_NO_SYNCPOINT 0x00000004
#define MQPMO_DEFAULT_CONTEXT 0x00000020
#define MQPMO_NEW_MSG_ID 0x00000040
#define MQPMO_NEW_CORREL_ID 0x00000080
#define MQPMO_PASS_IDENTITY_CONTEXT 0x00000100
#define MQPMO_PASS_ALL_CONTEXT 0x00000200
#define MQPMO_SET_IDENTITY_CONTEXT 0x00000400
#define MQPMO_SET_ALL_CONTEXT 0x00000800
#define MQPMO_ALTERNATE_USER_AUTHORITY 0x00001000
#define MQPMO_FAIL_IF_QUIESCING 0x00002000
#define MQPMO_NO_CONTEXT 0x00004000
#define MQPMO_LOGICAL_ORDER 0x00008000

/* ---- close options ---- */
#define MQCO_NONE 0
#define MQCO_IMMEDIATE 0
#define MQCO_DELETE 1
#define MQCO_DELETE_PURGE 2

/* ---- object types ---- */
#define MQOT_Q 1
#define MQOT_NAMELIST 2
#define MQOT_PROCESS 3
#define MQOT_Q_MGR 5

/* ---- other values ---- */
#define MQWI_UNLIMITED (-1)
#define MQEI_UNLIMITED (-1)
#define MQPRI_PRIORITY_AS_Q_DEF (-1)
#define MQPER_NOT_PERSISTENT 0
#define MQPER_PERSISTENT 1
#define MQPER_PERSISTENCE_AS_Q_DEF 2
#define MQMT_REQUEST 1
#define MQMT_REPLY 2
#define MQMT_REPORT 4
#define MQMT_DATAGRAM 8
#define MQMT_APPL_FIRST 65536
#define MQENC_INTEGER_REVERSED 0x00000002
#define MQENC_DECIMAL_REVERSED 0x00000020
#define MQENC_FLOAT_IEEE_REVERSED 0x00000200
#define MQENC_NATIVE 0x00000222
#define MQCCSI_Q_MGR 0
#define MQCCSI_DEFAULT 0
#define MQCCSI_UNDEFINED 0
#define MQCCSI_EMBEDDED (-1)
#define MQCCSI_INHERIT (-2)
#define MQCCSI_APPL (-3)
#define MQFMT_NONE "        "
#define MQFMT_STRING "MQSTR   "
#define MQMO_NONE 0
#define MQMO_MATCH_MSG_ID 1
#define MQMO_MATCH_CORREL_ID 2
#define MQRO_NONE 0
#define MQFB_NONE 0
#define MQAT_NO_CONTEXT 0
#define MQAT_UNIX 6
#define MQHC_DEF_HCONN 0
#define MQHC_UNUSABLE_HCONN (-1)
#define MQHO_NONE 0
#define MQHO_UNUSABLE_HOBJ (-1)
#define MQQA_GET_ALLOWED 0
#define MQQA_GET_INHIBITED 1
#define MQQA_PUT_ALLOWED 0
#define MQQA_PUT_INHIBITED 1
#define MQQA_NOT_SHAREABLE 0
#define MQQA_SHAREABLE 1
#define MQMDS_PRIORITY 0
#define MQMDS_FIFO 1
#define MQIAV_NOT_APPLICABLE (-1)
#define MQSP_NOT_AVAILABLE 0
#define MQSP_AVAILABLE 1
#define MQQT_LOCAL 1

/* Null identifiers: MQMI_NONE, MQCI_NONE (24 zero bytes), MQACT_NONE (32 zero bytes). */
#define MQMI_NONE_ARRAY \
  0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0
#define MQCI_NONE_ARRAY MQMI_NONE_ARRAY
#define MQACT_NONE_ARRAY MQMI_NONE_ARRAY, 0, 0, 0, 0, 0, 0, 0, 0

/* ---- attribute selectors ---- */
#define MQIA_CODED_CHAR_SET_ID 2
#define MQIA_CURRENT_Q_DEPTH 3
#define MQIA_DEF_INPUT_OPEN_OPTION 4
#define MQIA_DEF_PERSISTENCE 5
#define MQIA_DEF_PRIORITY 6
#define MQIA_INHIBIT_GET 9
#define MQIA_INHIBIT_PUT 10
#define MQIA_MAX_MSG_LENGTH 13
#define MQIA_MAX_PRIORITY 14
#define MQIA_MAX_Q_DEPTH 15
#define MQIA_MSG_DELIVERY_SEQUENCE 16
#define MQIA_OPEN_INPUT_COUNT 17
#define MQIA_OPEN_OUTPUT_COUNT 18
#define MQIA_Q_TYPE 20
#define MQIA_BACKOUT_THRESHOLD 22
#define MQIA_SHAREABILITY 23
#define MQIA_SYNCPOINT 30
#define MQIA_MAX_UNCOMMITTED_MSGS 33
#define MQCA_DEAD_LETTER_Q_NAME 2006
#define MQCA_Q_MGR_NAME 2015
#define MQCA_Q_NAME 2016
#define MQCA_BACKOUT_REQ_Q_NAME 2019

/* ---- reason codes ---- */
#define MQRC_NONE 0
#define MQRC_ALREADY_CONNECTED 2002
#define MQRC_BACKED_OUT 2003
#define MQRC_BUFFER_ERROR 2004
#define MQRC_BUFFER_LENGTH_ERROR 2005
#define MQRC_CHAR_ATTR_LENGTH_ERROR 2006
#define MQRC_CHAR_ATTRS_TOO_SHORT 2008
#define MQRC_CONNECTION_BROKEN 2009
#define MQRC_DATA_LENGTH_ERROR 2010
#define MQRC_EXPIRY_ERROR 2013
#define MQRC_GET_INHIBITED 2016
#define MQRC_HANDLE_NOT_AVAILABLE 2017
#define MQRC_HCONN_ERROR 2018
#define MQRC_HOBJ_ERROR 2019
#define MQRC_INHIBIT_VALUE_ERROR 2020
#define MQRC_INT_ATTR_COUNT_ERROR 2021
#define MQRC_INT_ATTR_COUNT_TOO_SMALL 2022
#define MQRC_SYNCPOINT_LIMIT_REACHED 2024
#define MQRC_MD_ERROR 2026
#define MQRC_MISSING_REPLY_TO_Q 2027
#define MQRC_MSG_TOO_BIG_FOR_Q 2030
#define MQRC_MSG_TOO_BIG_FOR_Q_MGR 2031
#define MQRC_NO_MSG_AVAILABLE 2033
#define MQRC_NO_MSG_UNDER_CURSOR 2034
#define MQRC_NOT_AUTHORIZED 2035
#define MQRC_NOT_OPEN_FOR_BROWSE 2036
#define MQRC_NOT_OPEN_FOR_INPUT 2037
#define MQRC_NOT_OPEN_FOR_INQUIRE 2038
#define MQRC_NOT_OPEN_FOR_OUTPUT 2039
#define MQRC_NOT_OPEN_FOR_SET 2040
#define MQRC_OBJECT_CHANGED 2041
#define MQRC_OBJECT_IN_USE 2042
#define MQRC_OBJECT_TYPE_ERROR 2043
#define MQRC_OD_ERROR 2044
#define MQRC_OPTION_NOT_VALID_FOR_TYPE 2045
#define MQRC_OPTIONS_ERROR 2046
#define MQRC_PERSISTENCE_ERROR 2047
#define MQRC_PRIORITY_EXCEEDS_MAXIMUM 2049
#define MQRC_PRIORITY_ERROR 2050
#define MQRC_PUT_INHIBITED 2051
#define MQRC_Q_DELETED 2052
#define MQRC_Q_FULL 2053
#define MQRC_Q_SPACE_NOT_AVAILABLE 2056
#define MQRC_Q_TYPE_ERROR 2057
#define MQRC_Q_MGR_NAME_ERROR 2058
#define MQRC_Q_MGR_NOT_AVAILABLE 2059
#define MQRC_SELECTOR_COUNT_ERROR 2065
#define MQRC_SELECTOR_ERROR 2067
#define MQRC_SELECTOR_NOT_FOR_TYPE 2068
#define MQRC_STORAGE_NOT_AVAILABLE 2071
#define MQRC_SYNCPOINT_NOT_AVAILABLE 2072
#define MQRC_TRUNCATED_MSG_ACCEPTED 2079
#define MQRC_TRUNCATED_MSG_FAILED 2080
#define MQRC_UNKNOWN_OBJECT_NAME 2085
#define MQRC_UNKNOWN_OBJECT_Q_MGR 2086
#define MQRC_UNKNOWN_REMOTE_Q_MGR 2087
#define MQRC_WAIT_INTERVAL_ERROR 2090
#define MQRC_NOT_OPEN_FOR_PASS_ALL 2093
#define MQRC_NOT_OPEN_FOR_SET_ALL 2095
#define MQRC_NOT_OPEN_FOR_SET_IDENT 2096
#define MQRC_CONTEXT_HANDLE_ERROR 2097
#define MQRC_CONTEXT_NOT_AVAILABLE 2098
#define MQRC_OBJECT_DAMAGED 2101
#define MQRC_RESOURCE_PROBLEM 2102
#define MQRC_ANOTHER_Q_MGR_CONNECTED 2103
#define MQRC_FORMAT_ERROR 2110
#define MQRC_NOT_CONVERTED 2119
#define MQRC_CONVERTED_MSG_TOO_BIG 2120
#define MQRC_OBJECT_NAME_ERROR 2152
#define MQRC_Q_MGR_QUIESCING 2161
#define MQRC_Q_MGR_STOPPING 2162
#define MQRC_PMO_ERROR 2173
#define MQRC_GMO_ERROR 2186
#define MQRC_UNEXPECTED_ERROR 2195
#define MQRC_CONNECTION_QUIESCING 2202
#define MQRC_CONNECTION_STOPPING 2203
#define MQRC_BACKOUT_THRESHOLD_REACHED 2362
#define MQRC_HOST_NOT_AVAILABLE 2538

/* ---- default initialisers: MQMD md = {MQMD_DEFAULT}; ---- */
#define MQOD_DEFAULT                                                          \
  {MQOD_STRUC_ID_ARRAY}, MQOD_VERSION_1, MQOT_Q, {""}, {""}, {"AMQ.*"}, { "" }
#define MQMD_DEFAULT                                                                     \
  {MQMD_STRUC_ID_ARRAY}, MQMD_VERSION_1, MQRO_NONE, MQMT_DATAGRAM, MQEI_UNLIMITED,      \
      MQFB_NONE, MQENC_NATIVE, MQCCSI_Q_MGR, {' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '}, \
      MQPRI_PRIORITY_AS_Q_DEF, MQPER_PERSISTENCE_AS_Q_DEF, {MQMI_NONE_ARRAY},          \
      {MQCI_NONE_ARRAY}, 0, {""}, {""}, {""}, {MQACT_NONE_ARRAY}, {""}, MQAT_NO_CONTEXT, \
      {""}, {""}, {""}, { "" }
#define MQGMO_DEFAULT \
  {MQGMO_STRUC_ID_ARRAY}, MQGMO_VERSION_1, MQGMO_NO_WAIT, 0, 0, 0, { "" }
#define MQPMO_DEFAULT \
  {MQPMO_STRUC_ID_ARRAY}, MQPMO_VERSION_1, MQPMO_NONE, -1, 0, 0, 0, 0, {""}, { "" }

/* ---- calls ---- */
void MQCONN(const MQCHAR* QMgrName, PMQHCONN Hconn, PMQLONG CompCode, PMQLONG Reason);
void MQDISC(PMQHCONN Hconn, PMQLONG CompCode, PMQLONG Reason);
void MQOPEN(MQHCONN Hconn, PMQVOID ObjDesc, MQLONG Options, PMQHOBJ Hobj, PMQLONG CompCode,
            PMQLONG Reason);
void MQCLOSE(MQHCONN Hconn, PMQHOBJ Hobj, MQLONG Options, PMQLONG CompCode, PMQLONG Reason);
void MQGET(MQHCONN Hconn, MQHOBJ Hobj, PMQVOID MsgDesc, PMQVOID GetMsgOpts, MQLONG BufferLength,
           PMQVOID Buffer, PMQLONG DataLength, PMQLONG CompCode, PMQLONG Reason);
void MQPUT(MQHCONN Hconn, MQHOBJ Hobj, PMQVOID MsgDesc, PMQVOID PutMsgOpts, MQLONG BufferLength,
           PMQVOID Buffer, PMQLONG CompCode, PMQLONG Reason);
void MQPUT1(MQHCONN Hconn, PMQVOID ObjDesc, PMQVOID MsgDesc, PMQVOID PutMsgOpts,
            MQLONG BufferLength, PMQVOID Buffer, PMQLONG CompCode, PMQLONG Reason);
void MQINQ(MQHCONN Hconn, MQHOBJ Hobj, MQLONG SelectorCount, PMQLONG Selectors,
           MQLONG IntAttrCount, PMQLONG IntAttrs, MQLONG CharAttrLength, PMQCHAR CharAttrs,
           PMQLONG CompCode, PMQLONG Reason);
void MQSET(MQHCONN Hconn, MQHOBJ Hobj, MQLONG SelectorCount, PMQLONG Selectors,
           MQLONG IntAttrCount, PMQLONG IntAttrs, MQLONG CharAttrLength, PMQCHAR CharAttrs,
           PMQLONG CompCode, PMQLONG Reason);
void MQCMIT(MQHCONN Hconn, PMQLONG CompCode, PMQLONG Reason);
void MQBACK(MQHCONN Hconn, PMQLONG CompCode, PMQLONG Reason);

#ifdef __cplusplus
} /* extern "C" */

static_assert(sizeof(MQOD) == 168, "MQOD version 1 is 168 bytes");
static_assert(sizeof(MQMD) == 324, "MQMD version 1 is 324 bytes");
static_assert(sizeof(MQGMO) == 72, "MQGMO version 1 is 72 bytes");
static_assert(sizeof(MQPMO) == 128, "MQPMO version 1 is 128 bytes");
#else
_Static_assert(sizeof(MQOD) == 168, "MQOD version 1 is 168 bytes");
_Static_assert(sizeof(MQMD) == 324, "MQMD version 1 is 324 bytes");
_Static_assert(sizeof(MQGMO) == 72, "MQGMO version 1 is 72 bytes");
_Static_assert(sizeof(MQPMO) == 128, "MQPMO version 1 is 128 bytes");
#endif

#endif /* QT_MQI_MQI_H */
