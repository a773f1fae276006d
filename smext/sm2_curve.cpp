// The two SM2 curves, built on first use and kept until the library's exit
// clean-up (or a loaded module's last teardown): building a group costs more
// than a signature check, and callers cannot tell a cached group from a new one.
#include "smext/sm2_local.h"

#include <atomic>
#include <mutex>

#include "smext/sm_objects.h"

namespace {

std::atomic<Sm2Curve*> g_curves[2];
std::mutex g_buildLock;        // builds and frees; readers of a built curve take none
bool g_freedByCaller = false;  // under g_buildLock
bool g_freeAtExitSet = false;  // under g_buildLock

void FreeCurve(Sm2Curve* curve) {
  if (curve != nullptr) {
    EC_GROUP_free(curve->group);
    BN_MONT_CTX_free(curve->orderMont);
    BN_free(curve->orderMinus2);
    delete curve;
  }
}

Sm2Curve* BuildCurve(int number) {
  tovel::UniquePtr<EC_GROUP> group(sm_ec_group_new(number));
  if (group == nullptr) {
    return nullptr;
  }
  const BIGNUM* order = EC_GROUP_get0_order(group.get());
  tovel::UniquePtr<BN_MONT_CTX> mont(BN_MONT_CTX_new());
  tovel::UniquePtr<BN_CTX> ctx(BN_CTX_new());
  tovel::UniquePtr<BIGNUM> orderMinus2(order != nullptr ? BN_dup(order) : nullptr);
  if (order == nullptr || mont == nullptr || ctx == nullptr || orderMinus2 == nullptr ||
      !BN_MONT_CTX_set(mont.get(), order, ctx.get()) || !BN_sub_word(orderMinus2.get(), 2)) {
    return nullptr;
  }
  return new Sm2Curve{group.release(), order, mont.release(), orderMinus2.release()};
}

}  // namespace

int sm2_curve_number(int nid) {
  if (sm_objects_init()) {
    if (nid == sm_obj_nid(SM_OBJ_SM2_CURVE)) {
      return SM_OBJ_SM2_CURVE;
    }
    if (nid == sm_obj_nid(SM_OBJ_SM2_TEST_CURVE)) {
      return SM_OBJ_SM2_TEST_CURVE;
    }
  }
  return 0;
}

const Sm2Curve* sm2_curve_get(int number) {
  if (number != SM_OBJ_SM2_CURVE && number != SM_OBJ_SM2_TEST_CURVE) {
    return nullptr;
  }
  std::atomic<Sm2Curve*>& slot = g_curves[number - SM_OBJ_SM2_CURVE];
  Sm2Curve* curve = slot.load(std::memory_order_acquire);
  if (curve != nullptr) {
    return curve;
  }
  std::lock_guard<std::mutex> lock(g_buildLock);
  curve = slot.load(std::memory_order_relaxed);
  if (curve == nullptr && sm_objects_init()) {
    // A failed build is tried again by the next call.
    curve = BuildCurve(number);
    slot.store(curve, std::memory_order_release);
    if (curve != nullptr && !g_freedByCaller && !g_freeAtExitSet) {
      g_freeAtExitSet = OPENSSL_atexit(sm2_curve_cache_free) == 1;
    }
  }
  return curve;
}

void sm2_curve_cache_freed_by_caller(void) {
  std::lock_guard<std::mutex> lock(g_buildLock);
  g_freedByCaller = true;
}

void sm2_curve_cache_free(void) {
  std::lock_guard<std::mutex> lock(g_buildLock);
  for (std::atomic<Sm2Curve*>& slot : g_curves) {
    FreeCurve(slot.exchange(nullptr, std::memory_order_acq_rel));
  }
}

Sm2AnyCurve::Sm2AnyCurve(int nid) {
  const int number = sm2_curve_number(nid);
  if (number != 0) {
    if (const Sm2Curve* curve = sm2_curve_get(number)) {
      group = curve->group;
      order = curve->order;
    }
    return;
  }
  owned_.reset(EC_GROUP_new_by_curve_name(nid));
  if (owned_ != nullptr) {
    group = owned_.get();
    order = EC_GROUP_get0_order(owned_.get());
  }
}
