@echo -off
# Run by the UEFI shell from the boot disk (tests/ovmf/ovmf_stage.py builds
# it). Every image writes what it sees to the debug port; QemuExit.efi ends
# the machine with the pass or fail code.
fs0:
load SmbiosReadDxe.efi
load CaptureLinkDxe.efi
load InventoryDxe.efi
SignalReadyToBoot.efi
AgentWithoutHobCheck.efi
load NicLinkDxe.efi
NicLinkAbsentDeviceCheck.efi
QemuExit.efi
# Only reached when the exit device is missing: power off instead of waiting.
reset -s
