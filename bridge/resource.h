// Resource identifiers of qvWMI.dll.
#pragma once

#define IDS_ERROR_SOURCE             100
#define IDS_UNKNOWN_ERROR            101
#define IDS_ARG_NULL                 102
#define IDS_ARG_NULL_OR_EMPTY        103
#define IDS_ARG_INVALID              104
#define IDS_ARG_OUT_OF_RANGE         105
#define IDS_INVALID_STATE            106
#define IDS_CREATE_OBJECT_FAILED     107
#define IDS_SET_SECURITY_FAILED      108
#define IDS_CREATE_LOCATOR_FAILED    109
#define IDS_GET_OBJECT_FAILED        110
#define IDS_QUERY_PROPERTIES_FAILED  111
#define IDS_QUERY_INSTANCES_FAILED   112
#define IDS_TARGET_BUSY              113
#define IDS_TOO_MANY_ABANDONED       114
