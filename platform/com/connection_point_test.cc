#include "platform/com/connection_point.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/com/com_object.h"

namespace kavex::com {
namespace {

struct ITestEvents : IUnknown {
  virtual HRESULT Fire(int value) = 0;
};
KAVEX_DECLARE_IID(ITestEvents, "{5A1E0C11-3333-4C2B-9E2F-0A0B0C0D0E01}");
struct ITestOther : IUnknown {};
KAVEX_DECLARE_IID(ITestOther, "{5A1E0C11-3333-4C2B-9E2F-0A0B0C0D0E02}");

class CSource
    : public ComObject<CSource, ITestOther, ConnectionPointContainerImpl> {
 public:
  CSource() { events_ = AddConnectionPoint(IID_ITestEvents); }
  void FireAll(int value) {
    for (auto& sink : events_->Sinks<ITestEvents>()) sink->Fire(value);
  }
  ConnectionPoint* events_;
};

class CSink : public ComObject<CSink, ITestEvents> {
 public:
  HRESULT Fire(int value) override {
    total_ += value;
    return S_OK;
  }
  std::atomic<int> total_{0};
};

class CNotASink : public ComObject<CNotASink, ITestOther> {};

TEST(ConnectionPointTest, CookiesAdviseAndUnadvise) {
  ComPtr<CSource> source;
  ASSERT_EQ(S_OK, CSource::CreateInstance(&source));
  ComPtr<IConnectionPointContainer> container;
  ASSERT_EQ(S_OK, source.As(&container));
  ComPtr<IConnectionPoint> point;
  ASSERT_EQ(S_OK, container->FindConnectionPoint(IID_ITestEvents,
                                                 point.GetAddressOf()));
  EXPECT_EQ(CONNECT_E_NOCONNECTION,
            container->FindConnectionPoint(IID_ITestOther,
                                           point.ReleaseAndGetAddressOf()));
  container->FindConnectionPoint(IID_ITestEvents,
                                 point.ReleaseAndGetAddressOf());
  IID iid;
  point->GetConnectionInterface(&iid);
  EXPECT_EQ(IID_ITestEvents, iid);
  ComPtr<IConnectionPointContainer> back;
  point->GetConnectionPointContainer(back.GetAddressOf());
  EXPECT_EQ(container.Get(), back.Get());

  ComPtr<CSink> a, b;
  ComPtr<CNotASink> wrong;
  CSink::CreateInstance(&a);
  CSink::CreateInstance(&b);
  CNotASink::CreateInstance(&wrong);
  DWORD cookie_a = 0, cookie_b = 0, cookie_wrong = 5;
  ASSERT_EQ(S_OK, point->Advise(a->GetUnknown(), &cookie_a));
  ASSERT_EQ(S_OK, point->Advise(b->GetUnknown(), &cookie_b));
  EXPECT_EQ(1u, cookie_a);
  EXPECT_EQ(2u, cookie_b);
  EXPECT_EQ(CONNECT_E_CANNOTCONNECT,
            point->Advise(wrong->GetUnknown(), &cookie_wrong));
  EXPECT_EQ(0u, cookie_wrong);

  source->FireAll(3);
  EXPECT_EQ(3, a->total_);
  EXPECT_EQ(3, b->total_);

  ComPtr<IEnumConnections> connections;
  ASSERT_EQ(S_OK, point->EnumConnections(connections.GetAddressOf()));
  CONNECTDATA data[3];
  ULONG fetched = 0;
  EXPECT_EQ(S_FALSE, connections->Next(3, data, &fetched));
  ASSERT_EQ(2u, fetched);
  EXPECT_EQ(cookie_a, data[0].dwCookie);
  EXPECT_EQ(cookie_b, data[1].dwCookie);
  for (ULONG i = 0; i < fetched; ++i) data[i].pUnk->Release();

  ASSERT_EQ(S_OK, point->Unadvise(cookie_a));
  EXPECT_EQ(CONNECT_E_NOCONNECTION, point->Unadvise(cookie_a));
  EXPECT_EQ(CONNECT_E_NOCONNECTION, point->Unadvise(99));
  source->FireAll(10);
  EXPECT_EQ(3, a->total_);
  EXPECT_EQ(13, b->total_);
  // Cookies are not reused.
  DWORD cookie_c = 0;
  ASSERT_EQ(S_OK, point->Advise(a->GetUnknown(), &cookie_c));
  EXPECT_EQ(3u, cookie_c);

  ComPtr<IEnumConnectionPoints> points;
  ASSERT_EQ(S_OK, container->EnumConnectionPoints(points.GetAddressOf()));
  IConnectionPoint* only[2] = {};
  EXPECT_EQ(S_FALSE, points->Next(2, only, &fetched));
  ASSERT_EQ(1u, fetched);
  EXPECT_EQ(point.Get(), only[0]);
  only[0]->Release();
}

TEST(ConnectionPointTest, PointsShareTheContainersLifeAndReleaseSinks) {
  ComPtr<CSink> sink;
  CSink::CreateInstance(&sink);
  ComPtr<IConnectionPoint> point;
  {
    ComPtr<CSource> source;
    CSource::CreateInstance(&source);
    ComPtr<IConnectionPointContainer> container;
    source.As(&container);
    container->FindConnectionPoint(IID_ITestEvents, point.GetAddressOf());
    DWORD cookie;
    ASSERT_EQ(S_OK, point->Advise(sink->GetUnknown(), &cookie));
  }
  EXPECT_EQ(1, CSource::InstanceCount());  // the point keeps its container
  EXPECT_EQ(3u, sink->AddRef());           // ours, the connection's, this one
  sink->Release();
  point.Reset();
  EXPECT_EQ(0, CSource::InstanceCount());
  EXPECT_EQ(2u, sink->AddRef());  // the connection's went with the container
  sink->Release();
}

TEST(ConnectionPointTest, ConcurrentAdviseUnadviseAndFiring) {
  ComPtr<CSource> source;
  CSource::CreateInstance(&source);
  std::atomic<bool> stop{false};
  std::thread firer([&] {
    while (!stop) source->FireAll(1);
  });
  std::vector<std::thread> clients;
  std::vector<std::vector<DWORD>> cookies(4);
  for (int t = 0; t < 4; ++t)
    clients.emplace_back([&, t] {
      ComPtr<CSink> sink;
      CSink::CreateInstance(&sink);
      for (int i = 0; i < 300; ++i) {
        DWORD cookie = 0;
        source->events_->Advise(sink->GetUnknown(), &cookie);
        cookies[t].push_back(cookie);
        if (i % 2 == 0) source->events_->Unadvise(cookie);
      }
    });
  for (auto& client : clients) client.join();
  stop = true;
  firer.join();
  std::vector<DWORD> all;
  for (auto& list : cookies) all.insert(all.end(), list.begin(), list.end());
  std::sort(all.begin(), all.end());
  EXPECT_EQ(all.end(), std::adjacent_find(all.begin(), all.end()));
  EXPECT_EQ(1u, all.front());
  EXPECT_EQ(1200u, all.back());
  EXPECT_EQ(600u, source->events_->ConnectionCount());
  source.Reset();
  EXPECT_EQ(0, CSink::InstanceCount());
}

}  // namespace
}  // namespace kavex::com
