-- A bench's record as release 1.0.0 left it (schema 1): two services and a
-- mismatch, by panel_tool watch on emulated panels; made with sqlite3's .dump.
PRAGMA foreign_keys=OFF;
BEGIN TRANSACTION;
CREATE TABLE services ( id INTEGER PRIMARY KEY, time TEXT NOT NULL, station TEXT NOT NULL, port TEXT NOT NULL, language_file TEXT, language_sha256 TEXT, language_held_sha256 TEXT, language_result TEXT, firmware_file TEXT, firmware_sha256 TEXT, firmware_held_sha256 TEXT, firmware_held_boot_check INTEGER, firmware_result TEXT, sectors_erased INTEGER NOT NULL, pages_written INTEGER NOT NULL, pages_skipped INTEGER NOT NULL, verified INTEGER NOT NULL, seconds REAL NOT NULL, result TEXT NOT NULL, step TEXT NOT NULL, cause TEXT NOT NULL, backup TEXT);
INSERT INTO services VALUES(1,'2026-12-10T02:42:32Z','vm','1-2','/tmp/mig/language.bin','566fcf2e0a176df9a52804905345d129bb95373a5673daa803ef9673fffb7957','88926416eb97b2859e28d01c6103d2302490a42d414c648bc1759b1c5aa7c8e8','verified','/tmp/mig/firmware.s19','d2bbe3740d26f894d99985a0e44d8cf9847e99b621132177d9b5b3386af623ca','f719ba37fc3f8094f822de41c8fa17a073b295447624850a99228e2631f39574',1,'verified',120,1217,0,1,7.2569999999999996731,'verified','','',NULL);
INSERT INTO services VALUES(2,'2026-12-10T02:42:32Z','vm','1-1','/tmp/mig/language.bin','566fcf2e0a176df9a52804905345d129bb95373a5673daa803ef9673fffb7957','88926416eb97b2859e28d01c6103d2302490a42d414c648bc1759b1c5aa7c8e8','verified','/tmp/mig/firmware.s19','d2bbe3740d26f894d99985a0e44d8cf9847e99b621132177d9b5b3386af623ca','f719ba37fc3f8094f822de41c8fa17a073b295447624850a99228e2631f39574',1,'verified',120,1217,0,1,7.259000000000000341,'verified','','',NULL);
INSERT INTO services VALUES(3,'2026-12-10T02:42:42Z','vm','1-1',NULL,NULL,NULL,NULL,'/tmp/mig/firmware.s19','d2bbe3740d26f894d99985a0e44d8cf9847e99b621132177d9b5b3386af623ca','f719ba37fc3f8094f822de41c8fa17a073b295447624850a99228e2631f39574',1,'mismatch',120,960,0,0,3.552999999999999936,'mismatch','firmware','mismatch: flash page 66 differs first, at offset 0x00: the file has 0x69, the panel 0x6B; 1 of 960 pages differ',NULL);
CREATE TABLE benches (time TEXT NOT NULL, station TEXT NOT NULL);
INSERT INTO benches VALUES('2026-12-10T02:42:24Z','vm');
INSERT INTO benches VALUES('2026-12-10T02:42:39Z','vm');
CREATE INDEX services_by_port ON services (port, time);
COMMIT;
PRAGMA user_version=1;
