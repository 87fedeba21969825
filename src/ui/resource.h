// Resource and control ids of the module's dialogs and icons, shared by the resource script, the Win32
// dialog procedures and the tests that drive the real dialogs. Plain defines: windres reads this file.
#pragma once

// TARN_VERSION_RC and TARN_VERSION_TEXT, generated from the project version into the build folder.
#include "tarn_version.h"

// Dialogs
#define IDD_SETTINGS 101
#define IDD_ADD_ENTRY 102
#define IDD_ENTRY_SETTINGS 103
#define IDD_PROPERTIES 104
#define IDD_TEMP_BROWSE 105

// Icons of the special root items
#define IDI_ADD_ENTRY 201
#define IDI_SETTINGS 202

// Settings (101)
#define IDC_SET_API_KEY 1001
#define IDC_SET_TEST 1002
#define IDC_SET_CACHE_FOLDER 1003
#define IDC_SET_BROWSE 1004
#define IDC_SET_TTL 1005
#define IDC_SET_STATUS 1006
#define IDC_SET_EXPORT 1007
#define IDC_SET_IMPORT 1008

// Add entry (102)
#define IDC_ADD_URL 2001
#define IDC_ADD_DETECT 2002
#define IDC_ADD_STATUS 2003
#define IDC_ADD_CACHE 2005
#define IDC_ADD_LIMIT 2006
#define IDC_ADD_LIMIT_COUNT 2007
#define IDC_ADD_MODELS 2008
#define IDC_ADD_COLLECTIONS 2009
#define IDC_ADD_DATASETS 2010
#define IDC_ADD_SPACES 2011

// Temporary browse (105)
#define IDC_TEMP_URL 2101

// Entry settings (103)
#define IDC_ENT_NAME 3001
#define IDC_ENT_TYPE 3002
#define IDC_ENT_CACHE 3003
#define IDC_ENT_LAST_CACHED 3004
#define IDC_ENT_REFRESH 3005
#define IDC_ENT_DELETE_CACHE 3006
#define IDC_ENT_OPEN_BROWSER 3007
#define IDC_ENT_REMOVE 3008
#define IDC_ENT_LIMIT 3009
#define IDC_ENT_LIMIT_COUNT 3010
#define IDC_ENT_ADDED 3011
#define IDC_ENT_URL 3012
#define IDC_ENT_REVISION 3013
#define IDC_ENT_ALLOW_CHANGES 3014
#define IDC_ENT_TO_BRANCH 3015
#define IDC_ENT_TO_PULL_REQUEST 3016
#define IDC_ENT_CHANGES_WHERE 3017
#define IDC_ENT_CHANGES_LABEL 3018

// Properties (104)
#define IDC_PROP_NAME 4001
#define IDC_PROP_VERSION 4002
#define IDC_PROP_AUTHOR 4003
#define IDC_PROP_ENTRIES 4004
#define IDC_PROP_CONFIG_FOLDER 4005
