// A catalog for the configurator's tests, with one model per rule:
//   FX       fixed, alias prefix SW, two chips
//   M        modular, any slot may be blank, all blank too (blank type 11),
//            slots A-C on start ports 1, 11, 21, a fixed port 9
//   ORDER    modular, filled in order, never all blank, four slots
//   NOBLANK  modular, no slot may be blank
//   BADSLOT  slot A, then a slot numbered 0 (the end of its slots), then
//            one naming a slot list that does not exist
//   GHOST    a slot whose only module type names a module that does not
//            exist
#ifndef KAVEX_CONFIGURATOR_CORE_TESTING_TEST_CATALOG_H_
#define KAVEX_CONFIGURATOR_CORE_TESTING_TEST_CATALOG_H_

namespace kavex::configurator::testing {

inline constexpr char kTestCatalog[] = R"(<?xml version="1.0"?>
<ROOT>
  <SWITCH Model="FX" Alias="SW" Type="7" BlankType="0" Chips="2" Modular="No">
    <Port Number="1" Alias="P1" Disabled="No" Exists="Yes"/>
    <Port Number="2" Alias="P2" Disabled="Yes" Exists="Yes"/>
    <Port Number="3" Alias="P3" Disabled="No" Exists="No"/>
  </SWITCH>
  <SWITCH Model="M" Alias="MX" Type="10" BlankType="11" Chips="1"
          Modular="Yes" AddInOrder="No" AllBlank="Yes" StartChip="1"
          MaxChip="2">
    <SlotType Name="S" Text="Bay A" Prefix="A" Number="1" StartPort="1"
              Default="XM"/>
    <SlotType Name="S" Text="Bay B" Prefix="B" Number="2" StartPort="11"
              Default="None"/>
    <SlotType Name="S" Text="Bay C" Prefix="C" Number="3" StartPort="21"
              Default="YM"/>
    <Port Number="9" Alias="F9" Disabled="No" Exists="Yes"/>
  </SWITCH>
  <SWITCH Model="ORDER" Alias="OR" Type="20" Modular="Yes" AddInOrder="Yes"
          AllBlank="No" StartChip="1" MaxChip="3">
    <SlotType Name="S" Text="A" Prefix="A" Number="1" StartPort="1"/>
    <SlotType Name="S" Text="B" Prefix="B" Number="2" StartPort="9"/>
    <SlotType Name="S" Text="C" Prefix="C" Number="3" StartPort="17"/>
    <SlotType Name="S" Text="D" Prefix="D" Number="4" StartPort="25"/>
  </SWITCH>
  <SWITCH Model="NOBLANK" Alias="NB" Type="30" Modular="Yes" AllBlank="Yes">
    <SlotType Name="S" Text="A" Prefix="A" Number="1" StartPort="1"
              Empty="No"/>
    <SlotType Name="S" Text="B" Prefix="B" Number="2" StartPort="9"
              Empty="No"/>
  </SWITCH>
  <SWITCH Model="BADSLOT" Alias="BS" Type="40" Modular="Yes" AllBlank="Yes">
    <SlotType Name="S" Text="A" Prefix="A" Number="1" StartPort="1"/>
    <SlotType Name="S" Text="Z" Prefix="Z" Number="0" StartPort="1"/>
    <SlotType Name="Missing" Text="C" Prefix="C" Number="3" StartPort="1"/>
  </SWITCH>
  <SWITCH Model="GHOST" Alias="GH" Type="50" Modular="Yes" AllBlank="Yes">
    <SlotType Name="Haunted" Text="A" Prefix="A" Number="1" StartPort="1"/>
  </SWITCH>
  <Slot Name="S">
    <ModType Name="None" Text="ignored for the blank choice" Short="B"
             Empty="Yes"/>
    <ModType Name="XM" Text="X module" Short="X"/>
    <ModType Name="YM" Text="Y module" Short="Y"/>
    <ModType Name="CM" Text="Chip module" Short="C"/>
  </Slot>
  <Slot Name="Haunted">
    <ModType Name="Ghost" Text="Ghost module" Short="G"/>
  </Slot>
  <Module Name="None"/>
  <Module Name="XM" AddChip="No">
    <Port Number="1" Alias="1" Exists="Yes"/>
    <Port Number="2" Alias="2" Exists="Yes"/>
    <Port Number="3" Alias="3" Exists="Yes"/>
    <Port Number="4" Alias="4" Exists="Yes"/>
    <Port Number="5" Alias="5" Exists="Yes"/>
    <Port Number="6" Alias="6" Exists="Yes"/>
    <Port Number="7" Alias="7" Exists="Yes"/>
    <Port Number="8" Alias="8" Disabled="Yes" Exists="Yes"/>
  </Module>
  <Module Name="YM" AddChip="No">
    <Port Number="1" Alias="1" Exists="Yes"/>
    <Port Number="2" Alias="2" Exists="No"/>
  </Module>
  <Module Name="CM" AddChip="Yes">
    <Port Number="1" Alias="1" Exists="Yes"/>
  </Module>
</ROOT>
)";

}  // namespace kavex::configurator::testing

#endif  // KAVEX_CONFIGURATOR_CORE_TESTING_TEST_CATALOG_H_
