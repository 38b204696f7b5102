// The private interface's own GUIDs: distinct from each other and from every
// standard identifier they travel beside, and freshly generated. Including the
// layout expectations also checks winsim's KS and USB headers against the
// same numbers the Windows toolchain probes check MinGW's headers against.
#include <gtest/gtest.h>

#include <ks.h>
#include <ksmedia.h>
#include <usb.h>
#include <usbbusif.h>
#include <usbdlib.h>
#include <usbioctl.h>

#include "toolchain/usb_layouts.h"
#include "uac2common/uac2private.h"

namespace {

struct NamedGuid {
  const char *name;
  GUID value;
};

const NamedGuid kOwn[] = {
    {"KSPROPSETID_UacPrivate", KSPROPSETID_UacPrivate},
    {"KSMETHODSETID_UacUsb", KSMETHODSETID_UacUsb},
    {"KSEVENTSETID_UacPrivate", KSEVENTSETID_UacPrivate},
    {"KSEVENTSETID_UacPrivate2", KSEVENTSETID_UacPrivate2},
    {"KSCATEGORY_UacPrivate", KSCATEGORY_UacPrivate},
    {"GUID_DEVINTERFACE_UacClient", GUID_DEVINTERFACE_UacClient},
    {"CLSID_QavAsio", CLSID_QavAsio},
};

const NamedGuid kStandard[] = {
    {"GUID_NULL", GUID_NULL},
    {"KSPROPSETID_Pin", KSPROPSETID_Pin},
    {"KSPROPSETID_Connection", KSPROPSETID_Connection},
    {"KSPROPSETID_Stream", KSPROPSETID_Stream},
    {"KSPROPSETID_General", KSPROPSETID_General},
    {"KSPROPSETID_Topology", KSPROPSETID_Topology},
    {"KSPROPSETID_Audio", KSPROPSETID_Audio},
    {"KSEVENTSETID_Connection", KSEVENTSETID_Connection},
    {"KSCATEGORY_AUDIO", KSCATEGORY_AUDIO},
    {"KSCATEGORY_RENDER", KSCATEGORY_RENDER},
    {"KSCATEGORY_CAPTURE", KSCATEGORY_CAPTURE},
    {"KSCATEGORY_REALTIME", KSCATEGORY_REALTIME},
    {"KSCATEGORY_TOPOLOGY", KSCATEGORY_TOPOLOGY},
    {"KSINTERFACESETID_Standard", KSINTERFACESETID_Standard},
    {"KSMEDIUMSETID_Standard", KSMEDIUMSETID_Standard},
    {"KSDATAFORMAT_TYPE_AUDIO", KSDATAFORMAT_TYPE_AUDIO},
    {"KSDATAFORMAT_SUBTYPE_PCM", KSDATAFORMAT_SUBTYPE_PCM},
    {"KSDATAFORMAT_SPECIFIER_WAVEFORMATEX", KSDATAFORMAT_SPECIFIER_WAVEFORMATEX},
    {"KSDATAFORMAT_SUBTYPE_MIDI", KSDATAFORMAT_SUBTYPE_MIDI},
    {"KSNAME_Filter", KSNAME_Filter},
    {"KSNAME_Pin", KSNAME_Pin},
    {"USB_BUS_INTERFACE_USBDI_GUID", USB_BUS_INTERFACE_USBDI_GUID},
};

TEST(PrivateIdentifiers, OwnGuidsAreDistinctFromEachOther) {
  for (size_t i = 0; i < std::size(kOwn); ++i) {
    for (size_t j = i + 1; j < std::size(kOwn); ++j) {
      EXPECT_FALSE(IsEqualGUID(kOwn[i].value, kOwn[j].value)) << kOwn[i].name << " == " << kOwn[j].name;
    }
  }
}

TEST(PrivateIdentifiers, OwnGuidsCollideWithNoStandardIdentifier) {
  for (const NamedGuid &own : kOwn) {
    for (const NamedGuid &standard : kStandard) {
      EXPECT_FALSE(IsEqualGUID(own.value, standard.value)) << own.name << " == " << standard.name;
    }
  }
}

TEST(PrivateIdentifiers, OwnGuidsAreRandomVersionFourValues) {
  for (const NamedGuid &own : kOwn) {
    EXPECT_EQ(own.value.Data3 >> 12, 4) << own.name << " is not a version-4 GUID";
    EXPECT_EQ(own.value.Data4[0] & 0xC0, 0x80) << own.name << " lacks the RFC 4122 variant bits";
  }
}

}  // namespace
