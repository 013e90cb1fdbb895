#include <functional>
#include <string>
#include <vector>

#include "qsstorage/qsstorage.h"
#include "tests/element_helpers.h"
#include "tests/test_support.h"

namespace qss_test {
namespace {

class EnumTest : public RootTest {
 protected:
  // A child storage of the root holding streams named by `names`, created
  // in that order (so enumerated in the reverse one).
  IStorage* Holder(const std::vector<std::string>& names) {
    IStorage* holder = nullptr;
    EXPECT_EQ(S_OK,
              root_->CreateStorage(W("s").c_str(), kReadWrite, 0, 0, &holder));
    for (const std::string& name : names) {
      Ref<IStream> stream;
      EXPECT_EQ(S_OK, holder->CreateStream(W(name).c_str(), kReadWrite, 0, 0,
                                           stream.Out()));
    }
    return holder;
  }
};

// Names from `count` further elements, fetched one Next(1) at a time.
std::string NextNames(IEnumSTATSTG* elements, int count = 100) {
  std::string out;
  STATSTG stat;
  for (int i = 0; i < count && elements->Next(1, &stat, nullptr) == S_OK; ++i) {
    out += (out.empty() ? "" : " ") + Narrow(stat.pwcsName);
    CoTaskMemFree(stat.pwcsName);
  }
  return out;
}

TEST_F(EnumTest, RecordsComeNewestFirstFromEachChildsStat) {
  Ref<IStream> a;
  ASSERT_EQ(S_OK,
            root_->CreateStream(W("a").c_str(), kReadWrite, 0, 0, a.Out()));
  ASSERT_EQ(S_OK, a->Write("xyz", 3, nullptr));
  Ref<IStorage> s;
  ASSERT_EQ(S_OK,
            root_->CreateStorage(W("s").c_str(), kReadWrite, 0, 0, s.Out()));
  const CLSID clsid = {0x12345678, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
  ASSERT_EQ(S_OK, s->SetClass(clsid));
  Ref<IStream> b;
  ASSERT_EQ(S_OK, root_->CreateStream(W("b").c_str(),
                                      STGM_WRITE | STGM_SHARE_EXCLUSIVE, 0, 0,
                                      b.Out()));

  Ref<IEnumSTATSTG> elements;
  ASSERT_EQ(S_OK, root_->EnumElements(0, nullptr, 0, elements.Out()));
  STATSTG stats[4];
  for (STATSTG& stat : stats) stat.mtime.dwLowDateTime = 77;
  ULONG fetched = 9;
  EXPECT_EQ(S_FALSE, elements->Next(4, stats, &fetched));
  ASSERT_EQ(3u, fetched);
  const struct {
    const char* name;
    DWORD type;
    DWORD mode;
  } expected[] = {{"b", STGTY_STREAM, 0x11},
                  {"s", STGTY_STORAGE, kReadWrite},
                  {"a", STGTY_STREAM, kReadWrite}};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(expected[i].name, Narrow(stats[i].pwcsName));
    EXPECT_EQ(expected[i].type, stats[i].type);
    EXPECT_EQ(expected[i].mode, stats[i].grfMode);
    EXPECT_EQ(77u, stats[i].mtime.dwLowDateTime) << "Next clears nothing";
    CoTaskMemFree(stats[i].pwcsName);
  }
  EXPECT_EQ(3u, stats[2].cbSize.QuadPart);
  EXPECT_TRUE(IsEqualGUID(clsid, stats[1].clsid));
}

TEST_F(EnumTest, NextCountsRecordsSkipCountsEntriesResetAndCloneRewind) {
  Ref<IStorage> holder(Holder({"a", "b", "c"}));
  Ref<IEnumSTATSTG> elements;
  ASSERT_EQ(S_OK, holder->EnumElements(0, nullptr, 0, elements.Out()));
  // Each step is an operation and what it returns; Next also the names.
  const struct {
    char op;  // N(ext), S(kip), R(eset)
    ULONG count;
    HRESULT result;
    const char* names;
  } steps[] = {
      {'N', 0, S_OK, ""},      {'N', 2, S_OK, "c b"}, {'N', 2, S_FALSE, "a"},
      {'N', 1, S_FALSE, ""},   {'S', 1, S_FALSE, ""}, {'R', 0, S_OK, ""},
      {'S', 1, S_OK, ""},      {'N', 1, S_OK, "b"},   {'S', 0, S_OK, ""},
      {'S', 5, S_FALSE, ""},   {'N', 3, S_FALSE, ""}, {'R', 0, S_OK, ""},
      {'N', 3, S_OK, "c b a"},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(std::string(1, step.op) + std::to_string(step.count));
    if (step.op == 'S') {
      EXPECT_EQ(step.result, elements->Skip(step.count));
    } else if (step.op == 'R') {
      EXPECT_EQ(step.result, elements->Reset());
    } else {
      STATSTG stats[3];
      ULONG fetched = 99;
      EXPECT_EQ(step.result, elements->Next(step.count, stats, &fetched));
      std::string names;
      for (ULONG i = 0; i < fetched; ++i) {
        names += (i == 0 ? "" : " ") + Narrow(stats[i].pwcsName);
        CoTaskMemFree(stats[i].pwcsName);
      }
      EXPECT_EQ(step.names, names);
    }
  }

  elements->Reset();
  NextNames(elements.get(), 1);
  Ref<IEnumSTATSTG> clone;
  ASSERT_EQ(S_OK, elements->Clone(clone.Out()));
  EXPECT_EQ("b", NextNames(clone.get(), 1));
  clone->Reset();
  EXPECT_EQ("c b a", NextNames(clone.get()));
  EXPECT_EQ("b a", NextNames(elements.get()));
}

TEST_F(EnumTest, InterfacesAndRefusedArguments) {
  Ref<IStorage> holder(Holder({"a"}));
  Ref<IEnumSTATSTG> elements;
  ASSERT_EQ(S_OK, holder->EnumElements(0, nullptr, 0, elements.Out()));
  void* out = &out;
  EXPECT_EQ(E_NOINTERFACE, elements->QueryInterface(IID_IStorage, &out));
  EXPECT_EQ(nullptr, out);
  ASSERT_EQ(S_OK, elements->QueryInterface(IID_IEnumSTATSTG, &out));
  EXPECT_EQ(static_cast<IEnumSTATSTG*>(elements.get()), out);
  EXPECT_EQ(1u, elements->Release());

  ULONG fetched = 5;
  EXPECT_EQ(STG_E_INVALIDPOINTER, elements->Next(1, nullptr, &fetched));
  EXPECT_EQ(0u, fetched);
  EXPECT_EQ(S_OK, elements->Next(0, nullptr, nullptr));
  EXPECT_EQ(STG_E_INVALIDPOINTER, elements->Clone(nullptr));
  EXPECT_EQ(STG_E_INVALIDPOINTER, holder->EnumElements(0, nullptr, 0, nullptr));
  EXPECT_EQ("a", NextNames(elements.get())) << "nothing consumed";

  ASSERT_EQ(S_OK, root_->DestroyElement(W("s").c_str()));
  IEnumSTATSTG* none = elements.get();
  EXPECT_EQ(STG_E_REVERTED, holder->EnumElements(0, nullptr, 0, &none));
  EXPECT_EQ(nullptr, none);
}

// The store aborts the run on any read of a freed block, so each case also
// proves that the enumerator never reads one.
TEST_F(EnumTest, SurvivesWhateverHappensToItsElementsAndStorage) {
  const struct {
    const char* what;
    std::function<void(IStorage* root, IStorage* holder)> act;
    const char* rest;       // after the first element, c, was fetched
    const char* restarted;  // after Reset
  } cases[] = {
      {"destroy the next",
       [](IStorage*, IStorage* s) { s->DestroyElement(W("b").c_str()); }, "a",
       "c a"},
      {"destroy the start",
       [](IStorage*, IStorage* s) { s->DestroyElement(W("c").c_str()); }, "b a",
       "b a"},
      {"destroy the last",
       [](IStorage*, IStorage* s) { s->DestroyElement(W("a").c_str()); }, "b",
       "c b"},
      {"move the next away",
       [](IStorage* r, IStorage* s) {
         s->MoveElementTo(W("b").c_str(), r, W("b").c_str(), STGMOVE_MOVE);
       },
       "a", "c a"},
      {"rename the next",
       [](IStorage*, IStorage* s) {
         s->RenameElement(W("b").c_str(), W("bb").c_str());
       },
       "bb a", "c bb a"},
      {"create another",
       [](IStorage*, IStorage* s) {
         IStream* d = nullptr;
         s->CreateStream(W("d").c_str(), kReadWrite, 0, 0, &d);
         if (d != nullptr) d->Release();
       },
       "b a", "c b a"},
      {"destroy the storage",
       [](IStorage* r, IStorage*) { r->DestroyElement(W("s").c_str()); }, "",
       ""},
      {"replace the storage",
       [](IStorage* r, IStorage*) {
         IStorage* t = nullptr;
         r->CreateStorage(W("s").c_str(), kReadWrite | STGM_CREATE, 0, 0, &t);
         if (t != nullptr) t->Release();
       },
       "", ""},
      {"clear the root",
       [](IStorage*, IStorage*) { QSStrg_ClearRootStorage(); }, "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    QSStrg_ClearRootStorage();
    *root_.Out() = GetRootIStorage();
    Ref<IEnumSTATSTG> elements;
    {
      Ref<IStorage> holder(Holder({"a", "b", "c"}));
      ASSERT_EQ(S_OK, holder->EnumElements(0, nullptr, 0, elements.Out()));
      ASSERT_EQ("c", NextNames(elements.get(), 1));
      c.act(root_.get(), holder.get());
    }  // the storage object goes first; the enumerator reads on
    EXPECT_EQ(c.rest, NextNames(elements.get()));
    elements->Reset();
    EXPECT_EQ(c.restarted, NextNames(elements.get()));
    EXPECT_EQ(S_FALSE, elements->Skip(1000));
  }
}

}  // namespace
}  // namespace qss_test
