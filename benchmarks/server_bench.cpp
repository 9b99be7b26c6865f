// The cost of reaching CommAds through the component runtime: activation, early- and
// late-bound property reads, name lookups. Needs the library registered (scripts/bench does
// this). Prints figures; asserts nothing.
#include "owners.h"
#include "stopwatch.h"

#include <VantrelCtrl.h>

#include <cstdio>

namespace {

template <class F>
double per_call_us(int count, F&& call) {
    const double start = now_us();
    for (int i = 0; i < count; ++i) call();
    return (now_us() - start) / count;
}

}  // namespace

int main() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    vantrel::com_ptr<ICommAds> object;
    if (FAILED(CoCreateInstance(CLSID_CommAds, nullptr, CLSCTX_INPROC_SERVER, IID_ICommAds,
                                object.put_void()))) {
        std::printf("VantrelCtrl is not registered: run scripts/bench\n");
        return 1;
    }
    vantrel::com_ptr<IDispatch> dispatch;
    object.as(dispatch);

    const double create = per_call_us(10000, [] {
        ICommAds* p = nullptr;
        if (SUCCEEDED(CoCreateInstance(CLSID_CommAds, nullptr, CLSCTX_INPROC_SERVER, IID_ICommAds,
                                       reinterpret_cast<void**>(&p))))
            p->Release();
    });
    // The same without the runtime's registry lookup: the class object held, as clients that
    // create many objects do.
    vantrel::com_ptr<IClassFactory> factory;
    CoGetClassObject(CLSID_CommAds, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                     factory.put_void());
    const double create_held = per_call_us(10000, [&] {
        ICommAds* p = nullptr;
        if (factory && SUCCEEDED(factory->CreateInstance(nullptr, IID_ICommAds,
                                                         reinterpret_cast<void**>(&p))))
            p->Release();
    });
    const double marshaler = per_call_us(10000, [&] {
        IUnknown* inner = nullptr;
        if (SUCCEEDED(CoCreateFreeThreadedMarshaler(object.get(), &inner))) inner->Release();
    });
    LONG value = 0;
    const double early = per_call_us(1000000, [&] { object->get_ClockRate(&value); });
    VARIANT result;
    VariantInit(&result);
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    const double late = per_call_us(200000, [&] {
        dispatch->Invoke(7, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, &result,
                         nullptr, nullptr);
    });
    LPOLESTR name[] = {const_cast<LPOLESTR>(L"ClockRate")};
    DISPID id = 0;
    const double names = per_call_us(1000000, [&] {
        dispatch->GetIDsOfNames(IID_NULL, name, 1, LOCALE_USER_DEFAULT, &id);
    });
    LPOLESTR lower[] = {const_cast<LPOLESTR>(L"clockrate")};
    const double uncached = per_call_us(200000, [&] {
        dispatch->GetIDsOfNames(IID_NULL, lower, 1, LOCALE_USER_DEFAULT, &id);
    });

    std::printf("warm CoCreateInstance + Release:           %8.3f us   (target < 100 us)\n", create);
    std::printf("  CreateInstance + Release, class object held: %5.3f us\n", create_held);
    std::printf("  of which the platform's free-threaded marshaler: %5.3f us\n", marshaler);
    std::printf("ClockRate read, early-bound (vtable):      %8.3f us\n", early);
    std::printf("ClockRate read, late-bound (Invoke):       %8.3f us\n", late);
    std::printf("GetIDsOfNames, cached name \"ClockRate\":    %8.3f us   (target < 1 us)\n", names);
    std::printf("GetIDsOfNames, \"clockrate\" (type info):    %8.3f us\n", uncached);
    CoUninitialize();
    return 0;
}
