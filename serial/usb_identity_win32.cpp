#include "serial/usb_identity.h"

#include <windows.h>
// clang-format off
#include <setupapi.h>
#include <cfgmgr32.h>
#include <devguid.h>
// clang-format on

#include <cstring>

namespace {

std::string registry_property(HDEVINFO set, SP_DEVINFO_DATA* device, DWORD property) {
  char value[256] = "";
  DWORD type = 0;
  if (!SetupDiGetDeviceRegistryPropertyA(set, device, property, &type,
                                         reinterpret_cast<BYTE*>(value), sizeof value - 1,
                                         nullptr) ||
      type != REG_SZ) {
    return "";
  }
  value[sizeof value - 1] = '\0';
  return value;
}

// What the port's driver keeps in the device's own parameters key: the COM
// name it gave the port, and (FTDI's driver) the latency timer in ms, -1
// when the key holds none. Only read, never written.
struct PortParameters {
  std::string name;
  int latency_ms = -1;
};

PortParameters port_parameters(HDEVINFO set, SP_DEVINFO_DATA* device) {
  PortParameters parameters;
  const HKEY key = SetupDiOpenDevRegKey(set, device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
  if (key == INVALID_HANDLE_VALUE) return parameters;
  char name[32] = "";
  DWORD size = sizeof name - 1;
  DWORD type = 0;
  if (RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size) ==
          ERROR_SUCCESS &&
      type == REG_SZ) {
    parameters.name = name;
  }
  DWORD latency = 0;
  size = sizeof latency;
  if (RegQueryValueExA(key, "LatencyTimer", nullptr, &type, reinterpret_cast<BYTE*>(&latency),
                       &size) == ERROR_SUCCESS &&
      type == REG_DWORD && latency <= 255) {
    parameters.latency_ms = static_cast<int>(latency);
  }
  RegCloseKey(key);
  return parameters;
}

// Where a device node is plugged in: the first of its location paths
// ("PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(3)"), or else its location
// ("Port_#0003.Hub_#0001").
std::string location_of(DEVINST instance) {
  char value[512] = "";
  for (const ULONG property : {CM_DRP_LOCATION_PATHS, CM_DRP_LOCATION_INFORMATION}) {
    ULONG size = sizeof value - 2;
    ULONG type = 0;
    if (CM_Get_DevNode_Registry_PropertyA(instance, property, &type, value, &size, 0) ==
            CR_SUCCESS &&
        (type == REG_SZ || type == REG_MULTI_SZ)) {
      value[sizeof value - 2] = '\0'; // the first string of a list ends at its first NUL
      if (value[0] != '\0') return value;
    }
  }
  return "";
}

// The ids and serial number from the port's instance id, or from its
// parent's when the port is one interface of a composite USB device; the
// location is that of the USB device the ids came from.
UsbIdentity ids_of(DEVINST instance) {
  for (int level = 0; level < 2; ++level) {
    char id[MAX_DEVICE_ID_LEN + 1] = "";
    if (CM_Get_Device_IDA(instance, id, sizeof id, 0) != CR_SUCCESS) break;
    UsbIdentity usb = usb_identity_from_instance_id(id);
    if (!usb.vendor_id.empty()) {
      // FTDI's driver puts its own node (FTDIBUS\...) under the USB device.
      DEVINST device = instance;
      if (std::strncmp(id, "USB\\", 4) != 0) CM_Get_Parent(&device, instance, 0);
      usb.location = location_of(device);
      return usb;
    }
    DEVINST parent = 0;
    if (CM_Get_Parent(&parent, instance, 0) != CR_SUCCESS) break;
    instance = parent;
  }
  return UsbIdentity{};
}

} // namespace

UsbIdentity usb_identity_of(const PortEntry& port) {
  const std::string com_name = "COM" + std::to_string(port.number);
  UsbIdentity usb;
  const HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
  if (set == INVALID_HANDLE_VALUE) return usb;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
    const PortParameters parameters = port_parameters(set, &device);
    if (_stricmp(parameters.name.c_str(), com_name.c_str()) != 0) continue;
    usb = ids_of(device.DevInst);
    if (!usb.vendor_id.empty()) {
      // The driver's names for maker and device; Windows keeps the strings
      // the adapter reports to itself.
      usb.manufacturer = registry_property(set, &device, SPDRP_MFG);
      usb.product = registry_property(set, &device, SPDRP_DEVICEDESC);
      usb.latency_ms = parameters.latency_ms;
    }
    break;
  }
  SetupDiDestroyDeviceInfoList(set);
  return usb;
}
