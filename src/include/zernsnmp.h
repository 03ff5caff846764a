#ifndef VYX_ZERNSNMP_H
#define VYX_ZERNSNMP_H

// The device's settings as the local SNMP agent knows them: one record per
// setting with the type letter used in a set request ('i' integer, 's' string,
// 'a' IP address, '?' not fixed, empty when the setting is never set) and its
// OID under the enterprise subtree .1.3.6.1.4.1.32473.3 (.1 network, .2 display
// and serial, .3 playback and layers, .4 download and storage, .5 system,
// .8 tuner).  Settings without an OID have an empty snmp_cmd.  Command handlers
// take OIDs by position, so the order of the table is part of the contract.

struct ZernSettingsType {
  char type[4];
  char field_name[48];
  char snmp_cmd[48];
};

enum ZernSettingEnum {
  eFIRMWARE_VERSION = 0,
  eBROWSER_VERSION = 1,
  eLUMO_VERSION = 2,
  eZERN_VERSION = 3,
  eCALLHOME_ADDRESS = 4,
  eCALLHOME_INTERVAL = 5,
  eERROR_STATUS = 6,
  eCURRENT_ITEM_BEING_PLAYED = 7,
  eIS_DOWNLOADING = 8,
  eUPDATE_ADDRESS = 9,
  eFREE_SPACE = 10,
  eIP_ADDRESS = 11,
  eIP_MASK = 12,
  eIP_GATEWAY = 13,
  eIP_DNS1 = 14,
  eIP_DNS2 = 15,
  eDHCP_ENABLE = 16,
  eDOMAIN = 17,
  eNETWORK_COMMIT = 18,
  eNETWORK_CONTROL = 19,
  eTRAP_ENABLE = 20,
  eTRAP_DESTINATION = 21,
  eMULTIPLE_UPGRADE = 22,
  eBUILD_ID = 23,
  eBUILD_DATE = 24,
  eHAS_WIRELESS = 25,
  eWIRELESS_CONNECTION_TYPE = 26,
  eWIRELESS_SECURITY_TYPE = 27,
  eWIRELESS_SSID = 28,
  eWIRELESS_KEY = 29,
  eWIRELESS_CHANNEL_SELECTION = 30,
  eWIRELESS_CHANNEL_STRENGTH = 31,
  eWIRELESS_NETWORK_CONTROL = 32,
  eWIRELESS_DHCP_ENABLE = 33,
  eWIRELESS_IP_ADDRESS = 34,
  eWIRELESS_IP_MASK = 35,
  eWIRELESS_IP_GATEWAY = 36,
  eWIRELESS_IP_DNS1 = 37,
  eWIRELESS_IP_DNS2 = 38,
  eWIRELESS_DOMAIN = 39,
  eVIRTUAL_PLAY_CHANNEL = 40,
  eVIRTUAL_CHANNEL_ID = 41,
  eVIRTUAL_CHANNEL_MEDIA = 42,
  eVIRTUAL_CHANNEL_ALIAS = 43,
  eVIRTUAL_CHANNEL_DISPLAY_POSITION = 44,
  eSSI_VIRTUAL_CHANNEL_ENABLE = 45,
  eVIRTUAL_CHANNEL_MIN = 46,
  eVIRTUAL_CHANNEL_MAX = 47,
  eVIRTUAL_CHANNEL_ALIAS_DURATION = 48,
  ePLAY_MODE = 49,
  ePLAY_MEDIA = 50,
  eACTIVE_LAYER = 51,
  eCOORDINATE_MODE = 52,
  ePLAY_LAYER = 53,
  eX_POSITION = 54,
  eY_POSITION = 55,
  eX_SIZE = 56,
  eY_SIZE = 57,
  eALPHA_LAYER = 58,
  eVIDEO_RESOLUTION = 59,
  eMONITOR_TYPE = 60,
  eSERIAL_PARAMETERS = 61,
  eIR_CONTROL = 62,
  eCONFIG_SAVE = 63,
  eREBOOT = 64,
  eTUNER_MODE = 65,
  eTUNER_SCAN = 66,
  eCLOSE_CAPTION = 67,
  eNETWORK_BUFFER_SIZE = 68,
};

#define ZERN_SETTINGS_COUNT 69

extern const ZernSettingsType ZernSettings[ZERN_SETTINGS_COUNT];

// OID text of a setting ("" when the setting has none).
inline const char* ZernOid(ZernSettingEnum e) { return ZernSettings[e].snmp_cmd; }

#endif
