"""The data dictionary of a simulated microcontroller for klippy's batch mode.

klippy reads in it the formats of the commands it sends, the constants it
asks for and the pin names of the configuration; nothing runs behind it.
"""
import json

COMMANDS = [
    "identify offset=%u count=%c",
    "get_config",
    "allocate_oids count=%c",
    "finalize_config crc=%u",
    "get_clock",
    "get_uptime",
    "emergency_stop",
    "clear_shutdown",
    "reset",
    "config_reset",
    "debug_nop",
    "set_digital_out pin=%u value=%c",
    "config_digital_out oid=%c pin=%u value=%c default_value=%c"
    " max_duration=%u",
    "set_digital_out_pwm_cycle oid=%c cycle_ticks=%u",
    "queue_digital_out oid=%c clock=%u on_ticks=%u",
    "update_digital_out oid=%c value=%c",
    "config_analog_in oid=%c pin=%u",
    "query_analog_in oid=%c clock=%u sample_ticks=%u sample_count=%c"
    " rest_ticks=%u min_value=%hu max_value=%hu range_check_count=%c",
    "config_stepper oid=%c step_pin=%c dir_pin=%c invert_step=%c"
    " step_pulse_ticks=%u",
    "queue_step oid=%c interval=%u count=%hu add=%hi",
    "set_next_step_dir oid=%c dir=%c",
    "reset_step_clock oid=%c clock=%u",
    "stepper_get_position oid=%c",
    "stepper_stop_on_trigger oid=%c trsync_oid=%c",
    "config_endstop oid=%c pin=%c pull_up=%c",
    "endstop_home oid=%c clock=%u sample_ticks=%u sample_count=%c"
    " rest_ticks=%u pin_value=%c trsync_oid=%c trigger_reason=%c",
    "endstop_query_state oid=%c",
    "config_trsync oid=%c",
    "trsync_start oid=%c report_clock=%u report_ticks=%u expire_reason=%c",
    "trsync_set_timeout oid=%c clock=%u",
    "trsync_trigger oid=%c reason=%c",
]

RESPONSES = [
    "identify_response offset=%u data=%.*s",
    "config is_config=%c crc=%u is_shutdown=%c move_count=%hu",
    "clock clock=%u",
    "uptime high=%u clock=%u",
    "starting",
    "shutdown clock=%u static_string_id=%hu",
    "is_shutdown static_string_id=%hu",
    "stats count=%u sum=%u sumsq=%u",
    "analog_in_state oid=%c next_clock=%u value=%hu",
    "stepper_position oid=%c pos=%i",
    "endstop_state oid=%c homing=%c next_clock=%u pin_value=%c",
    "trsync_state oid=%c can_trigger=%c trigger_reason=%c clock=%u",
]

CONSTANTS = {
    "MCU": "linux",
    "CLOCK_FREQ": 50000000,
    "ADC_MAX": 4095,
    "PWM_MAX": 255,
    "STATS_SUMSQ_BASE": 256,
    "RECEIVE_WINDOW": 192,
}

# PA0..PA31, PB0..PB31, PC0..PC31: ports A and B digital, C analog
PINS = {"PA0": [0, 32], "PB0": [32, 32], "PC0": [64, 32]}


def data_dictionary():
    # Ids 0 and 1 are fixed by the protocol for identify and its response
    messages = [RESPONSES[0], COMMANDS[0]]
    messages += COMMANDS[1:] + RESPONSES[1:]
    ids = {msg: 2 + i for i, msg in enumerate(messages[2:])}
    ids[RESPONSES[0]], ids[COMMANDS[0]] = 0, 1
    return {
        "version": "z-compensate test mcu",
        "build_versions": "",
        "commands": {msg: ids[msg] for msg in COMMANDS},
        "responses": {msg: ids[msg] for msg in RESPONSES},
        "config": CONSTANTS,
        "enumerations": {"pin": PINS},
    }


def write(path):
    with open(str(path), "w") as f:
        json.dump(data_dictionary(), f, indent=1, sort_keys=True)
