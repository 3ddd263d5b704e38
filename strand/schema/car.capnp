using Cxx = import "/capnp/c++.capnp";
$Cxx.namespace("strand");

@0xa0f1ef46d8d637eb;

# The car's own topics: what the car reports, what it is asked to do, and what it is.
# Field positions that readers outside the car interface depend on are marked "fixed";
# new fields only ever get new ordinals, so the fixed ones never move.

struct CarState {
  vEgo @0 :Float32;                 # metres per second
  aEgo @1 :Float32;                 # metres per second squared
  standstill @2 :Bool;
  gearShifter @3 :GearShifter;      # fixed: bits 80-95 (data word 1)
  steeringAngleDeg @4 :Float32;
  steeringTorque @5 :Float32;
  gasPressed @6 :Bool;
  brakePressed @7 :Bool;
  leftBlinker @8 :Bool;
  rightBlinker @9 :Bool;
  doorOpen @10 :Bool;
  seatbeltUnlatched @11 :Bool;
  cruiseState @12 :CruiseState;
  wheelSpeeds @13 :WheelSpeeds;
  canValid @14 :Bool;
  vEgoRaw @15 :Float32;
  yawRate @16 :Float32;

  enum GearShifter {
    unknown @0;
    park @1;
    drive @2;
    neutral @3;
    reverse @4;
    sport @5;
    low @6;
    brake @7;
    eco @8;
    manumatic @9;
  }

  struct CruiseState {
    enabled @0 :Bool;
    available @1 :Bool;
    speed @2 :Float32;
    standstill @3 :Bool;
  }

  struct WheelSpeeds {
    fl @0 :Float32;
    fr @1 :Float32;
    rl @2 :Float32;
    rr @3 :Float32;
  }
}

struct CarControl {
  enabled @0 :Bool;
  latActive @1 :Bool;
  longActive @2 :Bool;
  actuators @3 :Actuators;
  hudControl @4 :HudControl;

  struct Actuators {
    gas @0 :Float32;
    brake @1 :Float32;
    steer @2 :Float32;
    steeringAngleDeg @3 :Float32;
    accel @4 :Float32;
  }

  struct HudControl {
    setSpeed @0 :Float32;
    leadVisible @1 :Bool;
    audibleAlert @2 :UInt8;
  }
}

struct CarOutput {
  actuatorsOutput @0 :CarControl.Actuators;
}

struct CarParams {
  carName @0 :Text;
  carFingerprint @1 :Text;
  mass @2 :Float32;
  wheelbase @3 :Float32;
  steerRatio @4 :Float32;
  longitudinalControl @5 :Bool;
  minEnableSpeed @6 :Float32;
}

struct CanData {
  address @0 :UInt32;
  busTime @1 :UInt16;
  dat @2 :Data;
  src @3 :UInt8;
}

struct RadarState {
  mdMonoTime @0 :UInt64;
  carStateMonoTime @1 :UInt64;
  leadOne @2 :LeadData;
  leadTwo @3 :LeadData;

  struct LeadData {
    dRel @0 :Float32;
    yRel @1 :Float32;
    vRel @2 :Float32;
    aRel @3 :Float32;
    status @4 :Bool;
  }
}

struct LiveTrack {
  trackId @0 :Int32;
  dRel @1 :Float32;
  yRel @2 :Float32;
  vRel @3 :Float32;
}
