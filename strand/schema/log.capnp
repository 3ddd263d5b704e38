using Cxx = import "/capnp/c++.capnp";
$Cxx.namespace("strand");

using Car = import "car.capnp";

@0xa893320ab56b2f62;

# Every message on a topic is one Event. The daemons of the device share this schema, so
# positions other programs read are fixed ("fixed" below): a field only ever gets a new
# ordinal, and nothing that changes an existing field's place is allowed. The schema tests
# pin every fixed position against the compiler's own layout report.

struct Event {
  logMonoTime @0 :UInt64;    # boot-clock nanoseconds at publication (data word 0)

  # The union discriminant takes bits 64-79; every member is a pointer and shares pointer 0
  # (fixed). Discriminant values follow the member order: fixed are initData = 0,
  # deviceState = 5, gpsLocation = 20, carState = 21 and carOutput = 125.
  union {
    initData @1 :InitData;
    sentinel @2 :Sentinel;
    boot @3 :Boot;
    clocks @4 :Clocks;
    logMessage @5 :Text;
    deviceState @6 :DeviceState;
    peripheralState @7 :PeripheralState;
    managerState @8 :ManagerState;
    procLog @9 :ProcLog;
    uploaderState @10 :UploaderState;
    errorLogMessage @11 :Text;
    androidLog @12 :AndroidLogEntry;
    can @13 :List(Car.CanData);
    sendcan @14 :List(Car.CanData);
    gyroscope @15 :SensorEventData;
    gyroscope2 @16 :SensorEventData;
    accelerometer @17 :SensorEventData;
    accelerometer2 @18 :SensorEventData;
    magnetometer @19 :SensorEventData;
    lightSensor @20 :SensorEventData;
    gpsLocation @21 :GpsLocationData;
    carState @22 :Car.CarState;
    carControl @23 :Car.CarControl;
    carParams @24 :Car.CarParams;
    temperatureSensor @25 :SensorEventData;
    temperatureSensor2 @26 :SensorEventData;
    gpsNMEA @27 :GpsNmeaData;
    gpsLocationExternal @28 :GpsLocationData;
    ubloxGnss @29 :GnssReport;
    qcomGnss @30 :GnssReport;
    gnssMeasurements @31 :GnssMeasurements;
    ubloxRaw @32 :Data;
    controlsState @33 :ControlsState;
    kestleStates @34 :List(KestleState);
    radarState @35 :Car.RadarState;
    liveTracks @36 :List(Car.LiveTrack);
    liveCalibration @37 :LiveCalibrationData;
    liveTorqueParameters @38 :LiveTorqueParametersData;
    liveLocationKalman @39 :LiveLocationKalman;
    liveParameters @40 :LiveParametersData;
    longitudinalPlan @41 :LongitudinalPlan;
    cameraOdometry @42 :CameraOdometry;
    thumbnail @43 :Thumbnail;
    onroadEvents @44 :List(OnroadEvent);
    roadCameraState @45 :FrameData;
    driverCameraState @46 :FrameData;
    wideRoadCameraState @47 :FrameData;
    roadEncodeIdx @48 :EncodeIndex;
    driverEncodeIdx @49 :EncodeIndex;
    wideRoadEncodeIdx @50 :EncodeIndex;
    qRoadEncodeIdx @51 :EncodeIndex;
    roadEncodeData @52 :EncodeData;
    driverEncodeData @53 :EncodeData;
    wideRoadEncodeData @54 :EncodeData;
    qRoadEncodeData @55 :EncodeData;
    livestreamRoadEncodeIdx @56 :EncodeIndex;
    livestreamWideRoadEncodeIdx @57 :EncodeIndex;
    livestreamDriverEncodeIdx @58 :EncodeIndex;
    livestreamRoadEncodeData @59 :EncodeData;
    livestreamWideRoadEncodeData @60 :EncodeData;
    livestreamDriverEncodeData @61 :EncodeData;
    driverStateV2 @62 :DriverStateV2;
    driverMonitoringState @63 :DriverMonitoringState;
    modelV2 @64 :ModelDataV2;
    navInstruction @65 :NavInstruction;
    navRoute @66 :NavRoute;
    navThumbnail @67 :Thumbnail;
    navModel @68 :NavModelData;
    mapRenderState @69 :MapRenderState;
    uiPlan @70 :UiPlan;
    userFlag @71 :UserFlag;
    microphone @72 :Microphone;
    pendrelCarControl @73 :PendrelCarControl;
    pendrelCarState @74 :PendrelCarState;
    pendrelDeviceState @75 :PendrelDeviceState;
    pendrelNavigation @76 :PendrelNavigation;
    pendrelPlan @77 :PendrelPlan;
    uiDebug @78 :UiDebug;
    testJoystick @79 :Joystick;
    customReservedRawData0 @80 :Data;
    customReservedRawData1 @81 :Data;
    customReservedRawData2 @82 :Data;
    networkState @83 :NetworkState;
    storageState @84 :StorageState;
    thermalZones @85 :List(ThermalZone);
    powerMonitor @86 :PowerMonitor;
    batteryState @87 :BatteryState;
    wifiScan @88 :List(WifiNetwork);
    cellularState @89 :CellularState;
    bluetoothState @90 :BluetoothState;
    imuCalibration @91 :ImuCalibration;
    wheelSpeeds @92 :Car.CarState.WheelSpeeds;
    tirePressure @93 :TirePressure;
    doorState @94 :DoorState;
    lightState @95 :LightState;
    climateState @96 :ClimateState;
    seatbeltState @97 :SeatbeltState;
    driverInput @98 :DriverInput;
    steeringState @99 :SteeringState;
    brakeState @100 :BrakeState;
    throttleState @101 :ThrottleState;
    laneLines @102 :List(LaneLine);
    roadEdges @103 :List(LaneLine);
    trafficSigns @104 :List(TrafficSign);
    objectTracks @105 :List(ObjectTrack);
    mapTile @106 :MapTile;
    routeProgress @107 :RouteProgress;
    speedLimit @108 :SpeedLimit;
    weatherInfo @109 :WeatherInfo;
    tripSummary @110 :TripSummary;
    segmentIndex @111 :SegmentIndex;
    uploadQueue @112 :List(UploadItem);
    crashReport @113 :CrashReport;
    processStats @114 :List(ProcessStat);
    memoryStats @115 :MemoryStats;
    diskStats @116 :DiskStats;
    firmwareInfo @117 :FirmwareInfo;
    softwareUpdate @118 :SoftwareUpdate;
    timeSync @119 :TimeSync;
    gnssEphemeris @120 :GnssEphemeris;
    gnssAlmanac @121 :GnssAlmanac;
    audioLevel @122 :AudioLevel;
    dashcamState @123 :DashcamState;
    gpsLocationHistory @124 :List(GpsLocationData);
    tripProgress @125 :RouteProgress;
    carOutput @126 :Car.CarOutput;
  }

  # Fixed: bit 80, right after the discriminant. Stored XOR-ed with its default like every
  # field, so an Event whose data section ends before it reads true.
  valid @127 :Bool = true;
}

# ---- The members the recorder reads -------------------------------------------------------

struct DeviceState {
  freeSpaceBytes @0 :UInt64;
  memoryUsedBytes @1 :UInt64;
  startedMonoTime @2 :UInt64;
  started @3 :Bool;                 # fixed: bit 192 (data word 3)
  cpuTempC @4 :Float32;
  gpuTempC @5 :Float32;
  fanSpeedPercentDesired @6 :UInt16;
  thermalStatus @7 :ThermalStatus;
  networkType @8 :NetworkType;
  batteryPercent @9 :Int16;
  offroadPowerUsageUwh @10 :UInt32;
  screenBrightnessPercent @11 :Int8;
  cpuUsagePercent @12 :List(Int8);

  enum ThermalStatus {
    green @0;
    yellow @1;
    red @2;
    danger @3;
  }

  enum NetworkType {
    none @0;
    wifi @1;
    cell2G @2;
    cell3G @3;
    cell4G @4;
    cell5G @5;
    ethernet @6;
  }
}

struct GpsLocationData {
  bearingDeg @0 :Float32;
  speed @1 :Float32;                # fixed: bits 32-63, metres per second
  latitude @2 :Float64;             # fixed: data word 1, degrees
  longitude @3 :Float64;            # fixed: data word 2, degrees
  altitude @4 :Float64;             # metres
  unixTimestampMillis @5 :Int64;
  horizontalAccuracy @6 :Float32;
  verticalAccuracy @7 :Float32;
  bearingAccuracyDeg @8 :Float32;
  speedAccuracy @9 :Float32;
  verticalSpeed @10 :Float32;
  hasFix @11 :Bool;                 # fixed: bit 480 (data word 7)
  source @12 :SensorSource;
  vNED @13 :List(Float32);
  satelliteCount @14 :UInt8;

  enum SensorSource {
    android @0;
    external @1;
    ublox @2;
    qcom @3;
    kalman @4;
  }
}

# ---- Everything else ------------------------------------------------------------------------

struct InitData {
  deviceType @0 :DeviceType;
  version @1 :Text;
  gitCommit @2 :Text;
  gitBranch @3 :Text;
  dongleId @4 :Text;
  kernelVersion @5 :Text;
  dirty @6 :Bool;
  params @7 :List(ParamEntry);

  enum DeviceType {
    unknown @0;
    pc @1;
    dashA @2;
    dashB @3;
  }

  struct ParamEntry {
    key @0 :Text;
    value @1 :Data;
  }
}

struct Sentinel {
  type @0 :SentinelType;
  signal @1 :Int32;

  enum SentinelType {
    endOfSegment @0;
    endOfRoute @1;
    startOfSegment @2;
    startOfRoute @3;
  }
}

struct Boot {
  wallTimeNanos @0 :UInt64;
  launchLog @1 :Text;
  pstore @2 :List(Text);
}

struct Clocks {
  bootTimeNanos @0 :UInt64;
  monotonicNanos @1 :UInt64;
  monotonicRawNanos @2 :UInt64;
  wallTimeNanos @3 :UInt64;
}

struct PeripheralState {
  voltage @0 :UInt32;
  current @1 :UInt32;
  fanSpeedRpm @2 :UInt16;
  usbPowerMode @3 :UInt8;
}

struct ManagerState {
  processes @0 :List(ProcessState);

  struct ProcessState {
    name @0 :Text;
    pid @1 :Int32;
    running @2 :Bool;
    shouldBeRunning @3 :Bool;
    exitCode @4 :Int32;
  }
}

struct ProcLog {
  cpuTimes @0 :List(CpuTimes);
  memTotal @1 :UInt64;
  memAvailable @2 :UInt64;

  struct CpuTimes {
    cpuNum @0 :Int64;
    user @1 :Float32;
    system @2 :Float32;
    idle @3 :Float32;
  }
}

struct UploaderState {
  immediateQueueSize @0 :UInt32;
  rawQueueSize @1 :UInt32;
  lastTime @2 :Float32;
  lastSpeed @3 :Float32;
  lastFilename @4 :Text;
}

struct AndroidLogEntry {
  id @0 :UInt8;
  ts @1 :UInt64;
  priority @2 :UInt8;
  pid @3 :Int32;
  tid @4 :Int32;
  tag @5 :Text;
  message @6 :Text;
}

struct SensorEventData {
  version @0 :Int32;
  sensor @1 :Int32;
  type @2 :Int32;
  timestamp @3 :Int64;
  values @4 :List(Float32);
  temperature @5 :Float32;
  source @6 :SensorSource;

  enum SensorSource {
    android @0;
    primaryImu @1;
    secondaryImu @2;
    compass @3;
  }
}

struct GpsNmeaData {
  timestamp @0 :Int64;
  localWallTime @1 :UInt64;
  nmea @2 :Text;
}

struct GnssReport {
  timestamp @0 :Int64;
  rawReport @1 :Data;
  measurementCount @2 :UInt16;
}

struct GnssMeasurements {
  measTime @0 :UInt64;
  gpsWeek @1 :Int16;
  gpsTimeOfWeek @2 :Float64;
  positionECEF @3 :List(Float64);
  velocityECEF @4 :List(Float64);
}

struct ControlsState {
  enabled @0 :Bool;
  active @1 :Bool;
  vCruise @2 :Float32;
  alertText1 @3 :Text;
  alertText2 @4 :Text;
  loopLagMs @5 :Float32;
}

struct KestleState {
  ignitionLine @0 :Bool;
  ignitionCan @1 :Bool;
  controlsAllowed @2 :Bool;
  voltage @3 :UInt32;
  current @4 :UInt32;
  uptime @5 :UInt32;
  faultStatus @6 :UInt8;
}

struct LiveCalibrationData {
  calStatus @0 :Int8;
  calPerc @1 :Int8;
  validBlocks @2 :Int32;
  rpyCalib @3 :List(Float32);
}

struct LiveTorqueParametersData {
  liveValid @0 :Bool;
  latAccelFactorFiltered @1 :Float32;
  frictionCoefficientFiltered @2 :Float32;
  totalBucketPoints @3 :Float32;
}

struct LiveLocationKalman {
  positionGeodetic @0 :List(Float64);
  velocityDevice @1 :List(Float64);
  orientationNED @2 :List(Float64);
  gpsOK @3 :Bool;
  inputsOK @4 :Bool;
}

struct LiveParametersData {
  valid @0 :Bool;
  steerRatio @1 :Float32;
  stiffnessFactor @2 :Float32;
  angleOffsetDeg @3 :Float32;
}

struct LongitudinalPlan {
  modelMonoTime @0 :UInt64;
  hasLead @1 :Bool;
  speeds @2 :List(Float32);
  accels @3 :List(Float32);
}

struct CameraOdometry {
  frameId @0 :UInt32;
  timestampEof @1 :UInt64;
  trans @2 :List(Float32);
  rot @3 :List(Float32);
}

struct Thumbnail {
  frameId @0 :UInt32;
  timestampEof @1 :UInt64;
  thumbnail @2 :Data;
}

struct OnroadEvent {
  name @0 :Text;
  enable @1 :Bool;
  noEntry @2 :Bool;
  warning @3 :Bool;
}

struct FrameData {
  frameId @0 :UInt32;
  timestampSof @1 :UInt64;
  timestampEof @2 :UInt64;
  integLines @3 :Int32;
  gain @4 :Float32;
  temperaturesC @5 :List(Float32);
}

struct EncodeIndex {
  frameId @0 :UInt32;
  type @1 :Type;
  encodeId @2 :UInt32;
  segmentNum @3 :Int32;
  segmentId @4 :UInt32;
  segmentIdEncode @5 :UInt32;
  timestampSof @6 :UInt64;
  timestampEof @7 :UInt64;
  flags @8 :UInt32;
  len @9 :UInt32;

  enum Type {
    lossless @0;
    fullHevc @1;
    previewH264 @2;
    livestreamH264 @3;
  }
}

struct EncodeData {
  idx @0 :EncodeIndex;
  data @1 :Data;
  header @2 :Data;
  unixTimestampNanos @3 :UInt64;
}

struct DriverStateV2 {
  frameId @0 :UInt32;
  modelExecutionTime @1 :Float32;
  faceProb @2 :Float32;
  facePosition @3 :List(Float32);
}

struct DriverMonitoringState {
  faceDetected @0 :Bool;
  isDistracted @1 :Bool;
  awarenessStatus @2 :Float32;
  isRHD @3 :Bool;
}

struct ModelDataV2 {
  frameId @0 :UInt32;
  frameAge @1 :UInt32;
  frameDropPerc @2 :Float32;
  timestampEof @3 :UInt64;
  modelExecutionTime @4 :Float32;
  laneLines @5 :List(LaneLine);
}

struct NavInstruction {
  maneuverPrimaryText @0 :Text;
  maneuverSecondaryText @1 :Text;
  maneuverDistance @2 :Float32;
  distanceRemaining @3 :Float32;
  timeRemaining @4 :Float32;
  speedLimit @5 :Float32;
}

struct NavRoute {
  coordinates @0 :List(Coordinate);

  struct Coordinate {
    latitude @0 :Float32;
    longitude @1 :Float32;
  }
}

struct NavModelData {
  frameId @0 :UInt32;
  modelExecutionTime @1 :Float32;
  features @2 :List(Float32);
}

struct MapRenderState {
  locationMonoTime @0 :UInt64;
  renderTime @1 :Float32;
  frameId @2 :UInt32;
}

struct UiPlan {
  frameId @0 :UInt32;
  position @1 :List(Float32);
  accel @2 :List(Float32);
}

struct UserFlag {
  monoTime @0 :UInt64;
}

struct Microphone {
  soundPressure @0 :Float32;
  soundPressureWeightedDb @1 :Float32;
  filteredSoundPressureWeightedDb @2 :Float32;
}

struct PendrelCarControl {
  enabled @0 :Bool;
  experimentalMode @1 :Bool;
  speedLimitOffset @2 :Float32;
}

struct PendrelCarState {
  cruiseGap @0 :UInt8;
  distanceTraveled @1 :Float32;
}

struct PendrelDeviceState {
  displayBrightness @0 :Int8;
  offroadTimeSec @1 :UInt32;
}

struct PendrelNavigation {
  destination @0 :Text;
  etaSeconds @1 :Float32;
}

struct PendrelPlan {
  desiredSpeed @0 :Float32;
  source @1 :Text;
}

struct UiDebug {
  drawTimeMillis @0 :Float32;
}

struct Joystick {
  axes @0 :List(Float32);
  buttons @1 :List(Bool);
}

struct NetworkState {
  type @0 :DeviceState.NetworkType;
  strength @1 :Int8;
  metered @2 :Bool;
  ipAddress @3 :Text;
}

struct StorageState {
  totalBytes @0 :UInt64;
  freeBytes @1 :UInt64;
  mounted @2 :Bool;
}

struct ThermalZone {
  name @0 :Text;
  tempC @1 :Float32;
}

struct PowerMonitor {
  voltageMv @0 :UInt32;
  currentMa @1 :Int32;
  powerDrawW @2 :Float32;
}

struct BatteryState {
  percent @0 :Int16;
  charging @1 :Bool;
  voltageMv @2 :UInt32;
}

struct WifiNetwork {
  ssid @0 :Text;
  rssi @1 :Int16;
  frequencyMhz @2 :UInt16;
}

struct CellularState {
  operatorName @0 :Text;
  technology @1 :Text;
  signalStrength @2 :Int8;
}

struct BluetoothState {
  enabled @0 :Bool;
  connectedDevices @1 :List(Text);
}

struct ImuCalibration {
  gyroBias @0 :List(Float32);
  accelBias @1 :List(Float32);
  valid @2 :Bool;
}

struct TirePressure {
  fl @0 :Float32;
  fr @1 :Float32;
  rl @2 :Float32;
  rr @3 :Float32;
}

struct DoorState {
  frontLeft @0 :Bool;
  frontRight @1 :Bool;
  rearLeft @2 :Bool;
  rearRight @3 :Bool;
  trunk @4 :Bool;
  hood @5 :Bool;
}

struct LightState {
  headlights @0 :Bool;
  highBeams @1 :Bool;
  fogLights @2 :Bool;
}

struct ClimateState {
  cabinTempC @0 :Float32;
  outsideTempC @1 :Float32;
  acOn @2 :Bool;
}

struct SeatbeltState {
  driver @0 :Bool;
  passenger @1 :Bool;
}

struct DriverInput {
  steeringPressed @0 :Bool;
  gasPressed @1 :Bool;
  brakePressed @2 :Bool;
}

struct SteeringState {
  angleDeg @0 :Float32;
  rateDeg @1 :Float32;
  torque @2 :Float32;
}

struct BrakeState {
  pressure @0 :Float32;
  pressed @1 :Bool;
  parkingBrake @2 :Bool;
}

struct ThrottleState {
  position @0 :Float32;
  pressed @1 :Bool;
}

struct LaneLine {
  x @0 :List(Float32);
  y @1 :List(Float32);
  prob @2 :Float32;
  std @3 :Float32;
}

struct TrafficSign {
  kind @0 :UInt16;
  value @1 :Float32;
  distance @2 :Float32;
}

struct ObjectTrack {
  trackId @0 :Int32;
  x @1 :Float32;
  y @2 :Float32;
  vx @3 :Float32;
  prob @4 :Float32;
}

struct MapTile {
  zoom @0 :UInt8;
  x @1 :UInt32;
  y @2 :UInt32;
  data @3 :Data;
}

struct RouteProgress {
  distanceTravelled @0 :Float32;
  distanceRemaining @1 :Float32;
  onRoute @2 :Bool;
}

struct SpeedLimit {
  limit @0 :Float32;
  source @1 :Text;
  distanceAhead @2 :Float32;
}

struct WeatherInfo {
  tempC @0 :Float32;
  conditions @1 :Text;
}

struct TripSummary {
  startWallTime @0 :UInt64;
  durationSec @1 :Float32;
  distanceMeters @2 :Float32;
  segments @3 :UInt32;
}

struct SegmentIndex {
  route @0 :Text;
  segment @1 :Int32;
  files @2 :List(Text);
}

struct UploadItem {
  path @0 :Text;
  size @1 :UInt64;
  priority @2 :Int8;
}

struct CrashReport {
  process @0 :Text;
  signal @1 :Int32;
  backtrace @2 :Text;
}

struct ProcessStat {
  pid @0 :Int32;
  name @1 :Text;
  cpuPercent @2 :Float32;
  rssBytes @3 :UInt64;
}

struct MemoryStats {
  totalBytes @0 :UInt64;
  availableBytes @1 :UInt64;
  swapUsedBytes @2 :UInt64;
}

struct DiskStats {
  readBytes @0 :UInt64;
  writtenBytes @1 :UInt64;
  ioTimeMs @2 :UInt32;
}

struct FirmwareInfo {
  component @0 :Text;
  version @1 :Text;
}

struct SoftwareUpdate {
  available @0 :Bool;
  version @1 :Text;
  downloadProgress @2 :Float32;
}

struct TimeSync {
  source @0 :Text;
  offsetNanos @1 :Int64;
  synced @2 :Bool;
}

struct GnssEphemeris {
  svId @0 :UInt16;
  toe @1 :Float64;
  data @2 :Data;
}

struct GnssAlmanac {
  week @0 :UInt16;
  data @1 :Data;
}

struct AudioLevel {
  rmsDb @0 :Float32;
  peakDb @1 :Float32;
}

struct DashcamState {
  recording @0 :Bool;
  tripDir @1 :Text;
  segment @2 :Int32;
  frameCount @3 :UInt32;
}
