/* The least a "status" can cost: open the TCTI the tool would open, ask one capability, close. */
#include <stdio.h>
#include <stdlib.h>
#include <tss2/tss2_esys.h>
#include <tss2/tss2_tctildr.h>

int main(void) {
  setenv("TSS2_LOG", "all+NONE", 1);
  const char* named = getenv("TARN_WEMB_TCTI");
  TSS2_TCTI_CONTEXT* tcti = NULL;
  ESYS_CONTEXT* esys = NULL;
  int answered = 0;
  if (Tss2_TctiLdr_Initialize(named != NULL ? named : "device:/dev/tpmrm0", &tcti) ==
      TSS2_RC_SUCCESS) {
    if (Esys_Initialize(&esys, tcti, NULL) == TSS2_RC_SUCCESS) {
      TPMI_YES_NO more = TPM2_NO;
      TPMS_CAPABILITY_DATA* data = NULL;
      answered = Esys_GetCapability(esys, ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE,
                                    TPM2_CAP_TPM_PROPERTIES, TPM2_PT_MANUFACTURER, 1, &more,
                                    &data) == TSS2_RC_SUCCESS;
      Esys_Free(data);
      Esys_Finalize(&esys);
    }
    Tss2_TctiLdr_Finalize(&tcti);
  }
  printf("%s\n", answered ? "true" : "false");
  return 0;
}
