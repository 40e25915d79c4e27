// Bases for the classes that implement the messaging interfaces: each answers every
// method the system never calls, QueryInterface with E_NOINTERFACE and the rest with
// MAPI_E_NO_SUPPORT. AddRef, Release and the methods the system calls stay pure, so that every
// implementation states how it serves them. Every answer goes through Unserved, which an
// implementation may override to take note of the call.
#pragma once

#include "platform/mapi.h"

namespace qsmapi::stubs {

template <class Interface>
class Unserving : public Interface {
 public:
  STDMETHODIMP QueryInterface(REFIID, LPVOID* ppvObj) override {
    if (ppvObj) *ppvObj = nullptr;
    return Unserved("QueryInterface", E_NOINTERFACE);
  }
  STDMETHODIMP GetLastError(HRESULT, ULONG, LPMAPIERROR*) override {
    return Unserved("GetLastError");
  }

 protected:
  virtual HRESULT Unserved(const char* /*method*/, HRESULT status = MAPI_E_NO_SUPPORT) {
    return status;
  }
};

// Served by the system's calls: CreateProfile, DeleteProfile, AdminServices.
class ProfAdmin : public Unserving<IProfAdmin> {
 public:
  STDMETHODIMP GetProfileTable(ULONG, LPMAPITABLE*) override { return Unserved("GetProfileTable"); }
  STDMETHODIMP ChangeProfilePassword(LPTSTR, LPTSTR, LPTSTR, ULONG) override {
    return Unserved("ChangeProfilePassword");
  }
  STDMETHODIMP CopyProfile(LPTSTR, LPTSTR, LPTSTR, ULONG_PTR, ULONG) override {
    return Unserved("CopyProfile");
  }
  STDMETHODIMP RenameProfile(LPTSTR, LPTSTR, LPTSTR, ULONG_PTR, ULONG) override {
    return Unserved("RenameProfile");
  }
  STDMETHODIMP SetDefaultProfile(LPTSTR, ULONG) override { return Unserved("SetDefaultProfile"); }
};

// Served by the system's calls: GetMsgServiceTable, CreateMsgService, ConfigureMsgService,
// OpenProfileSection.
class ServiceAdmin : public Unserving<IMsgServiceAdmin> {
 public:
  STDMETHODIMP DeleteMsgService(LPMAPIUID) override { return Unserved("DeleteMsgService"); }
  STDMETHODIMP CopyMsgService(LPMAPIUID, LPTSTR, LPCIID, LPCIID, LPVOID, ULONG_PTR,
                              ULONG) override {
    return Unserved("CopyMsgService");
  }
  STDMETHODIMP RenameMsgService(LPMAPIUID, ULONG, LPTSTR) override {
    return Unserved("RenameMsgService");
  }
  STDMETHODIMP MsgServiceTransportOrder(ULONG, LPMAPIUID, ULONG) override {
    return Unserved("MsgServiceTransportOrder");
  }
  STDMETHODIMP AdminProviders(LPMAPIUID, ULONG, LPPROVIDERADMIN*) override {
    return Unserved("AdminProviders");
  }
  STDMETHODIMP SetPrimaryIdentity(LPMAPIUID, ULONG) override {
    return Unserved("SetPrimaryIdentity");
  }
  STDMETHODIMP GetProviderTable(ULONG, LPMAPITABLE*) override {
    return Unserved("GetProviderTable");
  }
};

// The system only releases a table; HrQueryAllRows reads it.
class Table : public Unserving<IMAPITable> {
 public:
  STDMETHODIMP Advise(ULONG, LPMAPIADVISESINK, ULONG*) override { return Unserved("Advise"); }
  STDMETHODIMP Unadvise(ULONG) override { return Unserved("Unadvise"); }
  STDMETHODIMP GetStatus(ULONG*, ULONG*) override { return Unserved("GetStatus"); }
  STDMETHODIMP SetColumns(LPSPropTagArray, ULONG) override { return Unserved("SetColumns"); }
  STDMETHODIMP QueryColumns(ULONG, LPSPropTagArray*) override { return Unserved("QueryColumns"); }
  STDMETHODIMP GetRowCount(ULONG, ULONG*) override { return Unserved("GetRowCount"); }
  STDMETHODIMP SeekRow(BOOKMARK, LONG, LONG*) override { return Unserved("SeekRow"); }
  STDMETHODIMP SeekRowApprox(ULONG, ULONG) override { return Unserved("SeekRowApprox"); }
  STDMETHODIMP QueryPosition(ULONG*, ULONG*, ULONG*) override { return Unserved("QueryPosition"); }
  STDMETHODIMP FindRow(LPSRestriction, BOOKMARK, ULONG) override { return Unserved("FindRow"); }
  STDMETHODIMP Restrict(LPSRestriction, ULONG) override { return Unserved("Restrict"); }
  STDMETHODIMP CreateBookmark(BOOKMARK*) override { return Unserved("CreateBookmark"); }
  STDMETHODIMP FreeBookmark(BOOKMARK) override { return Unserved("FreeBookmark"); }
  STDMETHODIMP SortTable(LPSSortOrderSet, ULONG) override { return Unserved("SortTable"); }
  STDMETHODIMP QuerySortOrder(LPSSortOrderSet*) override { return Unserved("QuerySortOrder"); }
  STDMETHODIMP QueryRows(LONG, ULONG, LPSRowSet*) override { return Unserved("QueryRows"); }
  STDMETHODIMP Abort() override { return Unserved("Abort"); }
  STDMETHODIMP ExpandRow(ULONG, LPBYTE, ULONG, ULONG, LPSRowSet*, ULONG*) override {
    return Unserved("ExpandRow");
  }
  STDMETHODIMP CollapseRow(ULONG, LPBYTE, ULONG, ULONG*) override {
    return Unserved("CollapseRow");
  }
  STDMETHODIMP WaitForCompletion(ULONG, ULONG, ULONG*) override {
    return Unserved("WaitForCompletion");
  }
  STDMETHODIMP GetCollapseState(ULONG, ULONG, LPBYTE, ULONG*, LPBYTE*) override {
    return Unserved("GetCollapseState");
  }
  STDMETHODIMP SetCollapseState(ULONG, ULONG, LPBYTE, BOOKMARK*) override {
    return Unserved("SetCollapseState");
  }
};

// Served by the system's calls: GetProps, DeleteProps.
class ProfSect : public Unserving<IProfSect> {
 public:
  STDMETHODIMP SaveChanges(ULONG) override { return Unserved("SaveChanges"); }
  STDMETHODIMP GetPropList(ULONG, LPSPropTagArray*) override { return Unserved("GetPropList"); }
  STDMETHODIMP OpenProperty(ULONG, LPCIID, ULONG, ULONG, LPUNKNOWN*) override {
    return Unserved("OpenProperty");
  }
  STDMETHODIMP SetProps(ULONG, LPSPropValue, LPSPropProblemArray*) override {
    return Unserved("SetProps");
  }
  STDMETHODIMP CopyTo(ULONG, LPCIID, LPSPropTagArray, ULONG, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
                      LPSPropProblemArray*) override {
    return Unserved("CopyTo");
  }
  STDMETHODIMP CopyProps(LPSPropTagArray, ULONG, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
                         LPSPropProblemArray*) override {
    return Unserved("CopyProps");
  }
  STDMETHODIMP GetNamesFromIDs(LPSPropTagArray*, LPGUID, ULONG, ULONG*, LPMAPINAMEID**) override {
    return Unserved("GetNamesFromIDs");
  }
  STDMETHODIMP GetIDsFromNames(ULONG, LPMAPINAMEID*, ULONG, LPSPropTagArray*) override {
    return Unserved("GetIDsFromNames");
  }
};

// Served by the system's calls: Logoff.
class Session : public Unserving<IMAPISession> {
 public:
  STDMETHODIMP GetMsgStoresTable(ULONG, LPMAPITABLE*) override {
    return Unserved("GetMsgStoresTable");
  }
  STDMETHODIMP OpenMsgStore(ULONG_PTR, ULONG, LPENTRYID, LPCIID, ULONG, LPMDB*) override {
    return Unserved("OpenMsgStore");
  }
  STDMETHODIMP OpenAddressBook(ULONG_PTR, LPCIID, ULONG, LPADRBOOK*) override {
    return Unserved("OpenAddressBook");
  }
  STDMETHODIMP OpenProfileSection(LPMAPIUID, LPCIID, ULONG, LPPROFSECT*) override {
    return Unserved("OpenProfileSection");
  }
  STDMETHODIMP GetStatusTable(ULONG, LPMAPITABLE*) override { return Unserved("GetStatusTable"); }
  STDMETHODIMP OpenEntry(ULONG, LPENTRYID, LPCIID, ULONG, ULONG*, LPUNKNOWN*) override {
    return Unserved("OpenEntry");
  }
  STDMETHODIMP CompareEntryIDs(ULONG, LPENTRYID, ULONG, LPENTRYID, ULONG, ULONG*) override {
    return Unserved("CompareEntryIDs");
  }
  STDMETHODIMP Advise(ULONG, LPENTRYID, ULONG, LPMAPIADVISESINK, ULONG*) override {
    return Unserved("Advise");
  }
  STDMETHODIMP Unadvise(ULONG) override { return Unserved("Unadvise"); }
  STDMETHODIMP MessageOptions(ULONG_PTR, ULONG, LPTSTR, LPMESSAGE) override {
    return Unserved("MessageOptions");
  }
  STDMETHODIMP QueryDefaultMessageOpt(LPTSTR, ULONG, ULONG*, LPSPropValue*) override {
    return Unserved("QueryDefaultMessageOpt");
  }
  STDMETHODIMP EnumAdrTypes(ULONG, ULONG*, LPTSTR**) override { return Unserved("EnumAdrTypes"); }
  STDMETHODIMP QueryIdentity(ULONG*, LPENTRYID*) override { return Unserved("QueryIdentity"); }
  STDMETHODIMP SetDefaultStore(ULONG, ULONG, LPENTRYID) override {
    return Unserved("SetDefaultStore");
  }
  STDMETHODIMP AdminServices(ULONG, LPSERVICEADMIN*) override { return Unserved("AdminServices"); }
  STDMETHODIMP ShowForm(ULONG_PTR, LPMDB, LPMAPIFOLDER, LPCIID, ULONG, LPMESSAGE, ULONG, ULONG,
                        ULONG, ULONG, LPSTR) override {
    return Unserved("ShowForm");
  }
  STDMETHODIMP PrepareForm(LPCIID, LPMESSAGE, ULONG*) override { return Unserved("PrepareForm"); }
};

}  // namespace qsmapi::stubs
