// Bases for the classes that implement the messaging interfaces on POSIX: each answers every
// method the system never calls, QueryInterface with E_NOINTERFACE and the rest with
// MAPI_E_NO_SUPPORT. AddRef, Release and the methods the system calls stay pure, so that every
// implementation states how it serves them. Every answer goes through Unserved, which an
// implementation may override to take note of the call.
#pragma once

#include "platform/mapi.h"

namespace mapistubs {

template <class Interface>
class Unserving : public Interface {
 public:
  HRESULT QueryInterface(REFIID, LPVOID* ppvObj) override {
    if (ppvObj) *ppvObj = nullptr;
    return Unserved("QueryInterface", E_NOINTERFACE);
  }
  HRESULT GetLastError(HRESULT, ULONG, LPMAPIERROR*) override { return Unserved("GetLastError"); }

 protected:
  virtual HRESULT Unserved(const char* /*method*/, HRESULT status = MAPI_E_NO_SUPPORT) {
    return status;
  }
};

// Served by the system's calls: CreateProfile, DeleteProfile, AdminServices.
class ProfAdmin : public Unserving<IProfAdmin> {
 public:
  HRESULT GetProfileTable(ULONG, LPMAPITABLE*) override { return Unserved("GetProfileTable"); }
  HRESULT ChangeProfilePassword(LPTSTR, LPTSTR, LPTSTR, ULONG) override {
    return Unserved("ChangeProfilePassword");
  }
  HRESULT CopyProfile(LPTSTR, LPTSTR, LPTSTR, ULONG_PTR, ULONG) override {
    return Unserved("CopyProfile");
  }
  HRESULT RenameProfile(LPTSTR, LPTSTR, LPTSTR, ULONG_PTR, ULONG) override {
    return Unserved("RenameProfile");
  }
  HRESULT SetDefaultProfile(LPTSTR, ULONG) override { return Unserved("SetDefaultProfile"); }
};

// Served by the system's calls: GetMsgServiceTable, CreateMsgService, ConfigureMsgService,
// OpenProfileSection.
class ServiceAdmin : public Unserving<IMsgServiceAdmin> {
 public:
  HRESULT DeleteMsgService(LPMAPIUID) override { return Unserved("DeleteMsgService"); }
  HRESULT CopyMsgService(LPMAPIUID, LPTSTR, LPCIID, LPCIID, LPVOID, ULONG_PTR, ULONG) override {
    return Unserved("CopyMsgService");
  }
  HRESULT RenameMsgService(LPMAPIUID, ULONG, LPTSTR) override {
    return Unserved("RenameMsgService");
  }
  HRESULT MsgServiceTransportOrder(ULONG, LPMAPIUID, ULONG) override {
    return Unserved("MsgServiceTransportOrder");
  }
  HRESULT AdminProviders(LPMAPIUID, ULONG, LPPROVIDERADMIN*) override {
    return Unserved("AdminProviders");
  }
  HRESULT SetPrimaryIdentity(LPMAPIUID, ULONG) override { return Unserved("SetPrimaryIdentity"); }
  HRESULT GetProviderTable(ULONG, LPMAPITABLE*) override { return Unserved("GetProviderTable"); }
};

// The system only releases a table; HrQueryAllRows reads it.
class Table : public Unserving<IMAPITable> {
 public:
  HRESULT Advise(ULONG, LPMAPIADVISESINK, ULONG*) override { return Unserved("Advise"); }
  HRESULT Unadvise(ULONG) override { return Unserved("Unadvise"); }
  HRESULT GetStatus(ULONG*, ULONG*) override { return Unserved("GetStatus"); }
  HRESULT SetColumns(LPSPropTagArray, ULONG) override { return Unserved("SetColumns"); }
  HRESULT QueryColumns(ULONG, LPSPropTagArray*) override { return Unserved("QueryColumns"); }
  HRESULT GetRowCount(ULONG, ULONG*) override { return Unserved("GetRowCount"); }
  HRESULT SeekRow(BOOKMARK, LONG, LONG*) override { return Unserved("SeekRow"); }
  HRESULT SeekRowApprox(ULONG, ULONG) override { return Unserved("SeekRowApprox"); }
  HRESULT QueryPosition(ULONG*, ULONG*, ULONG*) override { return Unserved("QueryPosition"); }
  HRESULT FindRow(LPSRestriction, BOOKMARK, ULONG) override { return Unserved("FindRow"); }
  HRESULT Restrict(LPSRestriction, ULONG) override { return Unserved("Restrict"); }
  HRESULT CreateBookmark(BOOKMARK*) override { return Unserved("CreateBookmark"); }
  HRESULT FreeBookmark(BOOKMARK) override { return Unserved("FreeBookmark"); }
  HRESULT SortTable(LPSSortOrderSet, ULONG) override { return Unserved("SortTable"); }
  HRESULT QuerySortOrder(LPSSortOrderSet*) override { return Unserved("QuerySortOrder"); }
  HRESULT QueryRows(LONG, ULONG, LPSRowSet*) override { return Unserved("QueryRows"); }
  HRESULT Abort() override { return Unserved("Abort"); }
  HRESULT ExpandRow(ULONG, LPBYTE, ULONG, ULONG, LPSRowSet*, ULONG*) override {
    return Unserved("ExpandRow");
  }
  HRESULT CollapseRow(ULONG, LPBYTE, ULONG, ULONG*) override { return Unserved("CollapseRow"); }
  HRESULT WaitForCompletion(ULONG, ULONG, ULONG*) override { return Unserved("WaitForCompletion"); }
  HRESULT GetCollapseState(ULONG, ULONG, LPBYTE, ULONG*, LPBYTE*) override {
    return Unserved("GetCollapseState");
  }
  HRESULT SetCollapseState(ULONG, ULONG, LPBYTE, BOOKMARK*) override {
    return Unserved("SetCollapseState");
  }
};

// Served by the system's calls: GetProps, DeleteProps.
class ProfSect : public Unserving<IProfSect> {
 public:
  HRESULT SaveChanges(ULONG) override { return Unserved("SaveChanges"); }
  HRESULT GetPropList(ULONG, LPSPropTagArray*) override { return Unserved("GetPropList"); }
  HRESULT OpenProperty(ULONG, LPCIID, ULONG, ULONG, LPUNKNOWN*) override {
    return Unserved("OpenProperty");
  }
  HRESULT SetProps(ULONG, LPSPropValue, LPSPropProblemArray*) override {
    return Unserved("SetProps");
  }
  HRESULT CopyTo(ULONG, LPCIID, LPSPropTagArray, ULONG, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
                 LPSPropProblemArray*) override {
    return Unserved("CopyTo");
  }
  HRESULT CopyProps(LPSPropTagArray, ULONG, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
                    LPSPropProblemArray*) override {
    return Unserved("CopyProps");
  }
  HRESULT GetNamesFromIDs(LPSPropTagArray*, LPGUID, ULONG, ULONG*, LPMAPINAMEID**) override {
    return Unserved("GetNamesFromIDs");
  }
  HRESULT GetIDsFromNames(ULONG, LPMAPINAMEID*, ULONG, LPSPropTagArray*) override {
    return Unserved("GetIDsFromNames");
  }
};

// Served by the system's calls: Logoff.
class Session : public Unserving<IMAPISession> {
 public:
  HRESULT GetMsgStoresTable(ULONG, LPMAPITABLE*) override { return Unserved("GetMsgStoresTable"); }
  HRESULT OpenMsgStore(ULONG_PTR, ULONG, LPENTRYID, LPCIID, ULONG, LPMDB*) override {
    return Unserved("OpenMsgStore");
  }
  HRESULT OpenAddressBook(ULONG_PTR, LPCIID, ULONG, LPADRBOOK*) override {
    return Unserved("OpenAddressBook");
  }
  HRESULT OpenProfileSection(LPMAPIUID, LPCIID, ULONG, LPPROFSECT*) override {
    return Unserved("OpenProfileSection");
  }
  HRESULT GetStatusTable(ULONG, LPMAPITABLE*) override { return Unserved("GetStatusTable"); }
  HRESULT OpenEntry(ULONG, LPENTRYID, LPCIID, ULONG, ULONG*, LPUNKNOWN*) override {
    return Unserved("OpenEntry");
  }
  HRESULT CompareEntryIDs(ULONG, LPENTRYID, ULONG, LPENTRYID, ULONG, ULONG*) override {
    return Unserved("CompareEntryIDs");
  }
  HRESULT Advise(ULONG, LPENTRYID, ULONG, LPMAPIADVISESINK, ULONG*) override {
    return Unserved("Advise");
  }
  HRESULT Unadvise(ULONG) override { return Unserved("Unadvise"); }
  HRESULT MessageOptions(ULONG_PTR, ULONG, LPTSTR, LPMESSAGE) override {
    return Unserved("MessageOptions");
  }
  HRESULT QueryDefaultMessageOpt(LPTSTR, ULONG, ULONG*, LPSPropValue*) override {
    return Unserved("QueryDefaultMessageOpt");
  }
  HRESULT EnumAdrTypes(ULONG, ULONG*, LPTSTR**) override { return Unserved("EnumAdrTypes"); }
  HRESULT QueryIdentity(ULONG*, LPENTRYID*) override { return Unserved("QueryIdentity"); }
  HRESULT SetDefaultStore(ULONG, ULONG, LPENTRYID) override { return Unserved("SetDefaultStore"); }
  HRESULT AdminServices(ULONG, LPSERVICEADMIN*) override { return Unserved("AdminServices"); }
  HRESULT ShowForm(ULONG_PTR, LPMDB, LPMAPIFOLDER, LPCIID, ULONG, LPMESSAGE, ULONG, ULONG, ULONG,
                   ULONG, LPSTR) override {
    return Unserved("ShowForm");
  }
  HRESULT PrepareForm(LPCIID, LPMESSAGE, ULONG*) override { return Unserved("PrepareForm"); }
};

}  // namespace mapistubs
