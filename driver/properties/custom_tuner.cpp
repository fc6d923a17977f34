// Digital-tuner properties: they answer only on a filter that carries one of the two
// digital-tuner reference GUIDs and a TunerFilterContext; on any other filter they
// succeed and leave the value buffer as the caller gave it.
#include "driver/properties/custom_device.h"
#include "driver/streaming/guids.h"

namespace {

// The tuner record of the request's filter, or null.
DigitalTunerSettings* TunerOf(CustomRequest& r) {
  const GUID* ref = r.filter->Descriptor ? r.filter->Descriptor->ReferenceGuid : nullptr;
  if (!ref || (*ref != DigitalTunerGuids[0] && *ref != DigitalTunerGuids[1])) return nullptr;
  auto* context = static_cast<TunerFilterContext*>(r.filter->Context);
  if (!context || !context->pKsDevice || context->nTunerIndex > 1) return nullptr;
  CDevice* d = DeviceOf(context->pKsDevice);
  return d ? &d->m_aDigitalTuner[context->nTunerIndex] : nullptr;
}

}  // namespace

NTSTATUS OnGetDigitalTunerProperty(CustomRequest& r) {
  DigitalTunerSettings* t = TunerOf(r);
  if (!t) return STATUS_SUCCESS;
  switch (r.row->arg) {
    case 300:
      r.PutWord(LoadWord(t->Bandwidth));
      break;
    case 301:
      r.PutWord(LoadWord(t->CurrentFrequency) * LoadWord(t->FrequencyMultiplier));
      break;
    case 302:
      r.PutWord(LoadWord(t->SignalSnr));
      break;
    case 303:
      r.PutWord(LoadWord(t->SignalBer));
      break;
    case 304:
      r.PutWord(LoadWord(t->SignalPer));
      break;
    default:
      for (ULONG k = 0; k < 4; k++) r.PutWord(LoadWord(t->EncryptKey[k]), k);
      break;
  }
  return STATUS_SUCCESS;
}

NTSTATUS OnSetDigitalTunerEncryptKeyProperty(CustomRequest& r) {
  DigitalTunerSettings* t = TunerOf(r);
  if (!t) return STATUS_SUCCESS;
  for (ULONG k = 0; k < 4; k++) StoreWord(t->EncryptKey[k], r.Word(k));
  return STATUS_SUCCESS;
}
